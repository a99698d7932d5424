#include "join/id_index.h"

#include <algorithm>
#include <utility>

#include "join/threads.h"

namespace natjoin {
namespace {

// Ids a direct grouping may have beyond four per tuple: small domains always
// qualify.
constexpr std::size_t kDirectSlack = 1024;
// Groups of up to this many members are searched by counting, not halving.
constexpr std::uint32_t kCountedGroup = 32;
// Groups of up to this many members are sorted as numbers (8 bytes each
// for the moment of the sort).
constexpr std::uint32_t kPackedGroup = std::uint32_t{1} << 16;
// How many members ahead a member's row is fetched while building.
constexpr std::size_t kMemberRowAhead = 8;
// The fewest tuples whose index is built on several threads, and the most
// threads: each has counts for every group, so the groups must be few
// next to the tuples.
constexpr std::size_t kParallelTuples = std::size_t{1} << 17;
constexpr unsigned kMaxParts = 8;

// The most groups numbered directly, for `count` tuples.
std::uint64_t directLimit(std::size_t count) { return 4 * std::uint64_t{count} + kDirectSlack; }

}  // namespace

std::size_t IdIndex::leadingFor(const EncodedOperand& operand,
                                std::span<const std::uint32_t> slots) {
  const std::uint64_t limit = directLimit(operand.aliveCount());
  std::uint64_t combinations = 1;
  for (const std::uint32_t slot : slots) {
    const std::uint64_t domain = operand.domain[slot];
    if (domain != 0 && combinations > limit / domain) return 1;
    combinations *= domain;
  }
  return slots.size();
}

IdIndex::IdIndex(const EncodedOperand& operand, std::vector<std::uint32_t> slots,
                 KeyTable::HashFn hash, std::vector<std::uint32_t> carried, unsigned threads)
    : slots_(std::move(slots)), table_(1, hash), carriedSlots_(std::move(carried)) {
  const std::size_t count = operand.aliveCount();
  const std::uint64_t limit = directLimit(count);
  const std::size_t leading = leadingFor(operand, slots_);
  std::uint64_t combinations = 1;
  for (std::size_t keyIdx = 0; keyIdx < leading; ++keyIdx) {
    combinations *= operand.domain[slots_[keyIdx]];
  }
  restWidth_ = slots_.size() - leading;
  hashed_ = combinations > limit;
  if (hashed_) table_ = KeyTable(1, hash);

  if (!hashed_) {
    for (std::size_t keyIdx = 0; keyIdx < leading; ++keyIdx) {
      leadingDomains_.push_back(operand.domain[slots_[keyIdx]]);
    }
  }
  // A direct group number is computed again where it is needed rather than
  // kept per tuple, so that building the index costs no more memory than
  // the index; a hashed one is kept, since finding it again costs a lookup.
  std::vector<std::uint32_t> hashedGroup;
  if (hashed_) {
    hashedGroup.resize(count);
    for (std::size_t aliveIdx = 0; aliveIdx < count; ++aliveIdx) {
      hashedGroup[aliveIdx] = table_.insert(operand.row(operand.aliveAt(aliveIdx)) + slots_[0]);
    }
  }
  auto groupOf = [&](std::size_t aliveIdx) {
    if (hashed_) return hashedGroup[aliveIdx];
    const std::uint32_t* row = operand.row(operand.aliveAt(aliveIdx));
    std::uint64_t mixed = 0;
    for (std::size_t keyIdx = 0; keyIdx < leading; ++keyIdx) {
      mixed = mixed * leadingDomains_[keyIdx] + row[slots_[keyIdx]];
    }
    return static_cast<std::uint32_t>(mixed);
  };
  const std::size_t groups = hashed_ ? table_.size() : static_cast<std::size_t>(combinations);

  // Counting sort by group; stable, so each group stays ascending.
  members_.resize(count);
  // Carried ids are placed with their members, where the rows are read in
  // order; members sorted further within their groups read them after.
  const std::size_t carriedWidth = carriedSlots_.size();
  carried_.resize(count * carriedWidth);
  const bool placeCarried = restWidth_ == 0 && carriedWidth != 0;
  auto place = [&](std::size_t aliveIdx, std::uint32_t& next) {
    const std::uint32_t tuple = operand.aliveAt(aliveIdx);
    const std::uint32_t at = next++;
    members_[at] = tuple;
    if (placeCarried) carryIds(operand, at, tuple);
  };
  groupStart_.assign(groups + 1, 0);
  const unsigned parts =
      count >= kParallelTuples && groups <= count / kMaxParts ? std::min(threads, kMaxParts) : 1;
  if (parts > 1) {
    // A large operand's tuples are cut into parts, one per thread, each
    // counted into counts of its own. A group's members from the first part
    // go first, then those from the second, and so on.
    SmallArray next;  // per part and group, where its next member goes
    next.assign(parts * groups, 0);
    auto partOf = [&](unsigned part) {
      return std::pair{count * part / parts, count * (part + 1) / parts};
    };
    auto inParts = [&](auto&& work) {
      runOnThreads(
          parts, Unstarted::kDoHere,
          [&](unsigned part) {
            const auto [begin, end] = partOf(part);
            std::uint32_t* partNext = next.data() + std::size_t{part} * groups;
            for (std::size_t aliveIdx = begin; aliveIdx < end; ++aliveIdx) {
              work(aliveIdx, partNext[groupOf(aliveIdx)]);
            }
          },
          [] {});
    };
    inParts([](std::size_t, std::uint32_t& counted) { ++counted; });
    std::uint32_t placed = 0;
    for (std::size_t group = 0; group < groups; ++group) {
      groupStart_[group] = placed;
      for (unsigned part = 0; part < parts; ++part) {
        std::uint32_t& partNext = next[std::size_t{part} * groups + group];
        const std::uint32_t counted = partNext;
        partNext = placed;
        placed += counted;
      }
    }
    groupStart_[groups] = placed;
    inParts(place);
  } else {
    // While members are placed, groupStart_[group] is the next free place
    // of the group, which ends at the start of the next one; it is shifted
    // back after.
    for (std::size_t aliveIdx = 0; aliveIdx < count; ++aliveIdx) {
      ++groupStart_[groupOf(aliveIdx) + 1];
    }
    for (std::size_t group = 0; group < groups; ++group) {
      groupStart_[group + 1] += groupStart_[group];
    }
    for (std::size_t aliveIdx = 0; aliveIdx < count; ++aliveIdx) {
      place(aliveIdx, groupStart_[groupOf(aliveIdx)]);
    }
    for (std::size_t group = groups; group > 0; --group) {
      groupStart_[group] = groupStart_[group - 1];
    }
    groupStart_[0] = 0;
  }
  if (restWidth_ == 0) return;
  sortRest(operand, leading);
  for (std::size_t at = 0; at < count && carriedWidth != 0; ++at) {
    carryIds(operand, at, members_[at]);
  }
}

std::vector<std::uint32_t> IdIndex::carriedPlaces(std::span<const std::uint32_t> slots) const {
  std::vector<std::uint32_t> places;
  for (const std::uint32_t slot : slots) {
    const auto place = std::find(carriedSlots_.begin(), carriedSlots_.end(), slot);
    if (place == carriedSlots_.end()) return {};
    places.push_back(static_cast<std::uint32_t>(place - carriedSlots_.begin()));
  }
  return places;
}

void IdIndex::sortRest(const EncodedOperand& operand, std::size_t leading) {
  const std::size_t count = members_.size();
  const std::size_t groups = groupStart_.size() - 1;
  const std::uint32_t* restSlots = slots_.data() + leading;

  // Where the rest is one id, each member's is read once from its row, for
  // the groups sorted as numbers: the rows lie at random places, so a few
  // members ahead are fetched while one is read.
  restKeys_.resize(count * restWidth_);
  auto keepRest = [&](std::size_t at) {
    const std::uint32_t* row = operand.row(members_[at]);
    for (std::size_t restIdx = 0; restIdx < restWidth_; ++restIdx) {
      restKeys_[at * restWidth_ + restIdx] = row[restSlots[restIdx]];
    }
  };
  for (std::size_t at = 0; at < count && restWidth_ == 1; ++at) {
    if (at + kMemberRowAhead < count)
      __builtin_prefetch(operand.row(members_[at + kMemberRowAhead]));
    keepRest(at);
  }

  // Within a group, by the rest of the key and then by tuple number, so
  // that equal keys stay in ascending tuple order. A group with one id of
  // rest and not too many members sorts as numbers, the rest id above the
  // tuple number; others are sorted where they are by reading their rows.
  std::vector<std::uint64_t> packed;
  auto restLess = [&](std::uint32_t a, std::uint32_t b) {
    const std::uint32_t* left = operand.row(a);
    const std::uint32_t* right = operand.row(b);
    for (std::size_t restIdx = 0; restIdx < restWidth_; ++restIdx) {
      const std::uint32_t slot = restSlots[restIdx];
      if (left[slot] != right[slot]) return left[slot] < right[slot];
    }
    return a < b;
  };
  for (std::size_t group = 0; group < groups; ++group) {
    const std::uint32_t first = groupStart_[group];
    const std::uint32_t last = groupStart_[group + 1];
    if (restWidth_ == 1 && last - first <= kPackedGroup) {
      if (last - first < 2) continue;
      packed.resize(last - first);
      for (std::uint32_t at = first; at < last; ++at) {
        packed[at - first] = std::uint64_t{restKeys_[at]} << 32 | members_[at];
      }
      std::sort(packed.begin(), packed.end());
      for (std::uint32_t at = first; at < last; ++at) {
        restKeys_[at] = static_cast<std::uint32_t>(packed[at - first] >> 32);
        members_[at] = static_cast<std::uint32_t>(packed[at - first]);
      }
      continue;
    }
    std::sort(members_.begin() + first, members_.begin() + last, restLess);
    for (std::uint32_t at = first; at < last; ++at) keepRest(at);
  }
}

int IdIndex::compareRest(std::uint32_t member, const std::uint32_t* rest) const {
  const std::uint32_t* stored = restKeys_.data() + std::size_t{member} * restWidth_;
  for (std::size_t restIdx = 0; restIdx < restWidth_; ++restIdx) {
    if (stored[restIdx] != rest[restIdx]) return stored[restIdx] < rest[restIdx] ? -1 : 1;
  }
  return 0;
}

void IdIndex::narrow(const std::uint32_t* rest, std::uint32_t& begin, std::uint32_t& end) const {
  if (begin == end) return;
  if (restWidth_ == 1 && end - begin <= kCountedGroup) {
    // A small group is counted through: the members below the key, then
    // those not above it. No step waits for the one before, where each step
    // of a binary search waits for the rest key it reads.
    const std::uint32_t wanted = rest[0];
    std::uint32_t below = 0;
    std::uint32_t notAbove = 0;
    for (std::uint32_t member = begin; member < end; ++member) {
      below += restKeys_[member] < wanted ? 1 : 0;
      notAbove += restKeys_[member] <= wanted ? 1 : 0;
    }
    end = begin + notAbove;
    begin += below;
    return;
  }
  // The first member not below `rest`, then the first above it, by binary
  // searches without branches: a group's rest keys are mostly in the cache,
  // where a mispredicted branch costs more than a step.
  std::uint32_t low = begin;
  std::uint32_t count = end - begin;
  while (count > 1) {
    const std::uint32_t half = count / 2;
    low = compareRest(low + half, rest) < 0 ? low + half : low;
    count -= half;
  }
  if (compareRest(low, rest) < 0) ++low;
  if (low == end || compareRest(low, rest) != 0) {
    begin = end = low;
    return;
  }
  std::uint32_t top = low;
  count = end - low;
  while (count > 1) {
    const std::uint32_t half = count / 2;
    top = compareRest(top + half, rest) <= 0 ? top + half : top;
    count -= half;
  }
  begin = low;
  end = top + 1;
}

}  // namespace natjoin
