#include "join/suffix.h"

#include <algorithm>
#include <bit>
#include <numeric>

#include "join/join_tree.h"

namespace natjoin {
namespace {

// The most operands a suffix has: its state is a few words per operand and
// thread, and a join of thousands of operands is enumerated level by level.
constexpr std::size_t kMaxMembers = 32;
// The most rows held for one prefix (at most 1 MiB of tuple numbers with
// kMaxMembers): rows reach the file about a millisecond at most after the
// walk that finds them begins.
constexpr std::size_t kMaxRows = std::size_t{1} << 13;
// The fewest rows sorted as numbers digit by digit rather than by
// comparing: below, the counts of the digits cost more than they save.
constexpr std::size_t kRadixRows = 256;
// Digits of 8 bits, or of 11 from kWideDigitRows rows on: a pass costs a
// count per digit value as well as one per row.
constexpr std::size_t kWideDigitRows = 4096;
// How many tuples ahead a parent's ids are fetched in the walk.
constexpr std::size_t kPendingRowAhead = 8;

// The suffix from `level` on, or no members where it does not qualify.
std::vector<SuffixMember> planMembers(const JoinClasses& classes, std::uint32_t level) {
  const auto count = static_cast<std::uint32_t>(classes.operands.size());
  auto bound = [&](std::uint32_t var) { return classes.firstOperandOf[var] < level; };
  auto anchored = [&](std::uint32_t operand) {
    const auto& vars = classes.operands[operand].vars;
    return std::any_of(vars.begin(), vars.end(), bound);
  };
  // Anchored operands first: a new tree of the forest starts at the first
  // member not yet taken, so each of them roots its own tree if it can.
  std::vector<std::uint32_t> operands;
  for (std::uint32_t operand = level; operand < count; ++operand) {
    if (anchored(operand)) operands.push_back(operand);
  }
  for (std::uint32_t operand = level; operand < count; ++operand) {
    if (!anchored(operand)) operands.push_back(operand);
  }
  const JoinForest forest =
      buildJoinForest(operands, classes, [&](std::uint32_t var) { return !bound(var); });
  if (!forest.acyclic) return {};
  std::vector<SuffixMember> members;
  for (const std::uint32_t member : forest.order) {
    const std::uint32_t operand = operands[member];
    const bool root = forest.parent[member] == kNoParent;
    if (anchored(operand) && !root) return {};
    SuffixMember& planned = members.emplace_back();
    planned.operand = operand;
    if (root) {
      boundSlotsOf(classes, operand, level, planned.slots, planned.sources);
      continue;
    }
    planned.parent = forest.rank[forest.parent[member]];
    auto shared = forest.sharedWithParent(member);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs(shared.begin(), shared.end());
    std::sort(pairs.begin(), pairs.end());
    for (const auto& [own, parentSlot] : pairs) {
      planned.slots.push_back(own);
      planned.parentSlots.push_back(parentSlot);
    }
  }
  return members;
}

}  // namespace

SuffixPlan planSuffix(const JoinClasses& classes, const EncodedJoin& encoded, bool exactlyReduced) {
  SuffixPlan plan;
  const auto count = static_cast<std::uint32_t>(classes.operands.size());
  if (!exactlyReduced || count < 2) return plan;
  const auto first = static_cast<std::uint32_t>(count > kMaxMembers ? count - kMaxMembers : 1);
  // A suffix of one operand is the last level's lookup: nothing to gain for
  // one prefix, but where the prefix is the outermost tuple alone, the
  // lookups of many outer tuples are made together (see SuffixBatch).
  for (std::uint32_t level = first; level + 1 < count || level == 1; ++level) {
    std::vector<SuffixMember> members = planMembers(classes, level);
    if (members.empty()) continue;
    // An operand sharing nothing with the outermost is its cross product:
    // held as rows, it would cost more than it is to write.
    if (members.size() == 1 && members[0].slots.empty()) break;
    plan.level = level;
    plan.members = std::move(members);
    break;
  }
  if (plan.level == SuffixPlan::kNone) return plan;
  plan.walkIsOrdered = std::is_sorted(
      plan.members.begin(), plan.members.end(),
      [](const SuffixMember& a, const SuffixMember& b) { return a.operand < b.operand; });
  unsigned totalBits = 0;
  for (std::uint32_t level = plan.level; level < count; ++level) {
    const std::size_t tuples = std::max<std::size_t>(1, encoded.operands[level].aliveCount());
    const auto bits =
        static_cast<std::uint8_t>(std::max<std::size_t>(1, std::bit_width(tuples - 1)));
    plan.packBits.push_back(bits);
    totalBits += bits;
  }
  if (totalBits > 64) plan.packBits.clear();
  return plan;
}

void carrySuffixKeys(const SuffixPlan& plan, IndexCache& indexes) {
  constexpr std::size_t kMaxCarried = 2;
  if (plan.level == 1) return;
  for (std::size_t memberIdx = 0; memberIdx < plan.members.size(); ++memberIdx) {
    std::vector<std::uint32_t> carried;
    for (const SuffixMember& child : plan.members) {
      if (child.parent != memberIdx) continue;
      for (const std::uint32_t slot : child.parentSlots) {
        if (std::find(carried.begin(), carried.end(), slot) == carried.end()) {
          carried.push_back(slot);
        }
      }
    }
    if (carried.empty() || carried.size() > kMaxCarried) continue;
    const SuffixMember& member = plan.members[memberIdx];
    indexes.carry(member.operand, member.slots, carried);
  }
}

SuffixRows::SuffixRows(const SuffixPlan& plan)
    : plan_(plan),
      indexes_(plan.members.size(), nullptr),
      pending_(plan.members.size()),
      picked_(plan.members.size(), 0),
      pickedCarried_(plan.members.size(), nullptr),
      carriedAt_(plan.members.size()) {
  if (plan.level == SuffixPlan::kNone) {
    active_ = false;
    return;
  }
  width_ = plan.members.size();  // one per level from the plan's on
  isParent_.assign(width_, 0);
  for (const SuffixMember& member : plan.members) {
    if (member.parent != UINT32_MAX) isParent_[member.parent] = 1;
  }
  hasChildren_ = std::find(isParent_.begin(), isParent_.end(), 1) != isParent_.end();
}

const IdIndex& SuffixRows::indexOf(std::size_t memberIdx, IndexCache& indexes) {
  const IdIndex*& index = indexes_[memberIdx];
  if (index == nullptr) {
    index = &indexes.get(plan_.members[memberIdx].operand, plan_.members[memberIdx].slots);
    // Where the index carries each child's key, the walk reads it there.
    for (std::size_t childIdx = 0; childIdx < plan_.members.size(); ++childIdx) {
      const SuffixMember& child = plan_.members[childIdx];
      if (child.parent == memberIdx) carriedAt_[childIdx] = index->carriedPlaces(child.parentSlots);
    }
  }
  return *index;
}

void SuffixRows::readRootKey(std::size_t memberIdx, const EncodedView& encoded,
                             const std::vector<std::uint32_t>& chosen) {
  const SuffixMember& member = plan_.members[memberIdx];
  key_.resize(member.slots.size());
  for (std::size_t keyIdx = 0; keyIdx < key_.size(); ++keyIdx) {
    const KeySource& source = member.sources[keyIdx];
    key_[keyIdx] = encoded.operands[source.operand].id(chosen[source.operand], source.slot);
  }
}

void SuffixRows::readChildKey(std::size_t memberIdx, const EncodedView& encoded,
                              std::uint32_t parentTuple, const std::uint32_t* carried) {
  const SuffixMember& member = plan_.members[memberIdx];
  key_.resize(member.slots.size());
  const std::vector<std::uint32_t>& places = carriedAt_[memberIdx];
  if (carried != nullptr && !places.empty()) {
    for (std::size_t keyIdx = 0; keyIdx < key_.size(); ++keyIdx) {
      key_[keyIdx] = carried[places[keyIdx]];
    }
    return;
  }
  const std::uint32_t* row =
      encoded.operands[plan_.members[member.parent].operand].row(parentTuple);
  for (std::size_t keyIdx = 0; keyIdx < key_.size(); ++keyIdx) {
    key_[keyIdx] = row[member.parentSlots[keyIdx]];
  }
}

std::span<const std::uint32_t> SuffixRows::prefetchMember(const IdIndex& index,
                                                          const EncodedOperand& operand,
                                                          Stage step) const {
  if (step == Stage::kGroup) {
    index.prefetchGroup(key_.data());
    return {};
  }
  if (step == Stage::kMembers) {
    index.prefetchMembers(key_.data());
    return {};
  }
  const std::span<const std::uint32_t> found = index.lookup(key_.data());
  if (found.empty()) return {};
  if (step == Stage::kStart) {
    if (index.carriedSlots().empty()) {
      __builtin_prefetch(operand.row(found[0]));
    } else {
      __builtin_prefetch(index.carried(found));
    }
    operand.prefetchStart(found[0]);
  } else if (step == Stage::kText) {
    operand.prefetchShown(found[0]);
  }
  return found;
}

void SuffixRows::prefetch(const EncodedView& encoded, IndexCache& indexes,
                          const std::vector<std::uint32_t>& chosen, Stage stage) {
  const std::vector<SuffixMember>& members = plan_.members;
  // A root takes the first four stages' steps and is only looked up in the
  // later ones, where its children take the same steps one stage behind
  // each other: kText is their kGroup.
  const auto childStep =
      static_cast<Stage>(static_cast<int>(stage) - static_cast<int>(Stage::kText));
  for (std::size_t memberIdx = 0; memberIdx < members.size(); ++memberIdx) {
    const SuffixMember& member = members[memberIdx];
    if (member.parent != UINT32_MAX || member.slots.empty()) continue;
    readRootKey(memberIdx, encoded, chosen);
    const IdIndex& index = indexOf(memberIdx, indexes);
    const std::span<const std::uint32_t> found =
        prefetchMember(index, encoded.operands[member.operand], stage);
    if (stage < Stage::kText || found.empty()) continue;
    const std::uint32_t* carried = index.carriedSlots().empty() ? nullptr : index.carried(found);
    for (std::size_t childIdx = memberIdx + 1; childIdx < members.size(); ++childIdx) {
      if (members[childIdx].parent != memberIdx) continue;
      readChildKey(childIdx, encoded, found[0], carried);
      prefetchMember(indexOf(childIdx, indexes), encoded.operands[members[childIdx].operand],
                     childStep);
    }
  }
}

bool SuffixRows::find(const EncodedView& encoded, IndexCache& indexes,
                      const std::vector<std::uint32_t>& chosen, JoinStats& stats) {
  const std::vector<SuffixMember>& members = plan_.members;
  combos_.clear();
  auto candidates = [&](std::size_t memberIdx) {
    const SuffixMember& member = members[memberIdx];
    if (member.parent == UINT32_MAX) {
      readRootKey(memberIdx, encoded, chosen);
    } else {
      readChildKey(memberIdx, encoded, picked_[member.parent], pickedCarried_[member.parent]);
      if (pickedCarried_[member.parent] != nullptr && !carriedAt_[memberIdx].empty()) {
        ++stats.carriedKeys;
      }
    }
    return indexOf(memberIdx, indexes).lookup(key_.data());
  };

  // Depth first over the members, each one's tuples in ascending order.
  const std::size_t last = members.size() - 1;
  std::size_t at = 0;
  pending_[0] = candidates(0);
  for (;;) {
    if (pending_[at].empty()) {
      if (at == 0) break;
      --at;
      continue;
    }
    picked_[at] = pending_[at].front();
    if (isParent_[at] != 0) {
      const IdIndex& index = *indexes_[at];
      if (!index.carriedSlots().empty()) {
        pickedCarried_[at] = index.carried(pending_[at]);
      } else if (pending_[at].size() > kPendingRowAhead + 1) {
        // A parent's tuples lie at random places; the ids its children's
        // keys are read from are fetched a few tuples ahead.
        __builtin_prefetch(
            encoded.operands[members[at].operand].row(pending_[at][kPendingRowAhead + 1]));
      }
    }
    pending_[at] = pending_[at].subspan(1);
    ++stats.candidateVisits;
    if (at < last) {
      ++at;
      pending_[at] = candidates(at);
      continue;
    }
    if (combos_.size() == kMaxRows * width_) {
      active_ = false;
      return false;
    }
    const std::size_t begin = combos_.size();
    combos_.resize(begin + width_);
    for (std::size_t memberIdx = 0; memberIdx < members.size(); ++memberIdx) {
      combos_[begin + members[memberIdx].operand - plan_.level] = picked_[memberIdx];
    }
  }
  if (!plan_.walkIsOrdered) sorter_.sort(combos_, width_, 0, plan_.packBits);
  return true;
}

void RowSorter::sortNumbers(unsigned bits) {
  const std::size_t count = packed_.size();
  if (count < kRadixRows) {
    std::sort(packed_.begin(), packed_.end());
    return;
  }
  // Least significant digit first, each pass stable, so after the last the
  // numbers are in order. The counts of every digit are taken in one read;
  // a digit all numbers share needs no pass.
  const unsigned digitBits = count >= kWideDigitRows ? 11 : 8;
  const std::size_t values = std::size_t{1} << digitBits;
  const std::uint64_t mask = values - 1;
  const unsigned digits = (bits + digitBits - 1) / digitBits;
  counts_.assign(digits * values, 0);
  for (const std::uint64_t value : packed_) {
    for (unsigned digit = 0; digit < digits; ++digit) {
      ++counts_[digit * values + ((value >> (digit * digitBits)) & mask)];
    }
  }
  scratch_.resize(count);
  for (unsigned digit = 0; digit < digits; ++digit) {
    std::uint32_t* start = counts_.data() + digit * values;
    const unsigned shift = digit * digitBits;
    if (start[(packed_[0] >> shift) & mask] == count) continue;
    std::uint32_t next = 0;
    for (std::size_t value = 0; value < values; ++value) {
      const std::uint32_t here = start[value];
      start[value] = next;
      next += here;
    }
    for (const std::uint64_t value : packed_) scratch_[start[(value >> shift) & mask]++] = value;
    packed_.swap(scratch_);
  }
}

void RowSorter::sort(std::span<std::uint32_t> rows, std::size_t width, std::size_t from,
                     const std::vector<std::uint8_t>& packBits) {
  const std::size_t count = rows.size() / width;
  if (count < 2) return;
  if (!packBits.empty()) {
    // Each row as one number, its earliest column in the highest bits.
    packed_.resize(count);
    for (std::size_t row = 0; row < count; ++row) {
      std::uint64_t value = 0;
      for (std::size_t column = from; column < width; ++column) {
        value = (value << packBits[column - from]) | rows[row * width + column];
      }
      packed_[row] = value;
    }
    unsigned totalBits = 0;
    for (const std::uint8_t bits : packBits) totalBits += bits;
    sortNumbers(totalBits);
    for (std::size_t row = 0; row < count; ++row) {
      std::uint64_t value = packed_[row];
      for (std::size_t column = width; column-- > from;) {
        const unsigned bits = packBits[column - from];
        rows[row * width + column] =
            static_cast<std::uint32_t>(value & ((std::uint64_t{1} << bits) - 1));
        value >>= bits;
      }
    }
    return;
  }
  order_.resize(count);
  std::iota(order_.begin(), order_.end(), 0u);
  std::sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
    return std::lexicographical_compare(
        rows.begin() + static_cast<std::ptrdiff_t>(a * width + from),
        rows.begin() + static_cast<std::ptrdiff_t>((a + 1) * width),
        rows.begin() + static_cast<std::ptrdiff_t>(b * width + from),
        rows.begin() + static_cast<std::ptrdiff_t>((b + 1) * width));
  });
  sorted_.resize(rows.size());
  for (std::size_t row = 0; row < count; ++row) {
    std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(order_[row] * width), width,
                sorted_.begin() + static_cast<std::ptrdiff_t>(row * width));
  }
  std::copy(sorted_.begin(), sorted_.end(), rows.begin());
}

}  // namespace natjoin
