#include "join/suffix_batch.h"

namespace natjoin {
namespace {

// How many rows ahead a parent's ids are fetched for its children's keys.
constexpr std::size_t kParentRowAhead = 16;

}  // namespace

SuffixBatch::SuffixBatch(const SuffixPlan& plan)
    : plan_(plan),
      width_(plan.members.size() + 1),
      indexes_(plan.members.size(), nullptr),
      carriedAt_(plan.members.size()),
      steps_(plan.members.size()) {}

bool SuffixBatch::find(const EncodedView& encoded, IndexCache& indexes,
                       std::span<const std::uint32_t> outer, JoinStats& stats) {
  const std::vector<SuffixMember>& members = plan_.members;
  rowCount_ = 0;
  // Parents come before their children in the walk, so a parent's index is
  // at hand when its children's keys are placed in it.
  for (std::size_t memberIdx = 0; memberIdx < members.size(); ++memberIdx) {
    if (indexes_[memberIdx] != nullptr) continue;
    const IdIndex& index = indexes.get(members[memberIdx].operand, members[memberIdx].slots);
    indexes_[memberIdx] = &index;
    for (std::size_t childIdx = memberIdx + 1; childIdx < members.size(); ++childIdx) {
      const SuffixMember& child = members[childIdx];
      if (child.parent == memberIdx) carriedAt_[childIdx] = index.carriedPlaces(child.parentSlots);
    }
  }
  std::size_t rows = outer.size();
  for (std::size_t memberIdx = 0; memberIdx < members.size(); ++memberIdx) {
    readKeys(memberIdx, encoded, outer, rows, stats);
    if (!extend(memberIdx, rows, stats)) return false;
    rows = steps_[memberIdx].from.size();
  }
  rowCount_ = rows;
  collect(outer);
  return true;
}

void SuffixBatch::readKeys(std::size_t memberIdx, const EncodedView& encoded,
                           std::span<const std::uint32_t> outer, std::size_t rows,
                           JoinStats& stats) {
  const SuffixMember& member = plan_.members[memberIdx];
  const IdIndex& index = *indexes_[memberIdx];
  const std::size_t width = member.slots.size();
  keys_.resize(rows * width);
  if (member.parent == UINT32_MAX) {
    // A root's key is bound by the outer tuple.
    for (std::size_t row = 0; row < rows; ++row) {
      const std::uint32_t tuple =
          outer[memberIdx == 0 ? row : ancestor(memberIdx - 1, row, kOuter)];
      std::uint32_t* key = keys_.data() + row * width;
      for (std::size_t keyIdx = 0; keyIdx < width; ++keyIdx) {
        const KeySource& source = member.sources[keyIdx];
        key[keyIdx] = encoded.operands[source.operand].id(tuple, source.slot);
      }
      index.prefetchSlot(key);
    }
    return;
  }
  // A child's key is bound by its parent's tuple in the row, found through
  // the steps between them.
  const std::size_t parentIdx = member.parent;
  const IdIndex& parentIndex = *indexes_[parentIdx];
  const EncodedOperand& parentOperand = encoded.operands[plan_.members[parentIdx].operand];
  const std::vector<std::uint32_t>& places = carriedAt_[memberIdx];
  auto parentPlace = [&](std::size_t row) {
    return steps_[parentIdx].place[ancestor(memberIdx - 1, row, parentIdx)];
  };
  for (std::size_t row = 0; row < rows; ++row) {
    // The parents' rows lie at random places: each is fetched a few rows
    // before it is read.
    if (row + kParentRowAhead < rows) {
      const std::uint32_t ahead = parentPlace(row + kParentRowAhead);
      __builtin_prefetch(places.empty() ? parentOperand.row(parentIndex.memberAt(ahead))
                                        : parentIndex.carriedAt(ahead));
    }
    const std::uint32_t place = parentPlace(row);
    std::uint32_t* key = keys_.data() + row * width;
    if (!places.empty()) {
      const std::uint32_t* carried = parentIndex.carriedAt(place);
      for (std::size_t keyIdx = 0; keyIdx < width; ++keyIdx) key[keyIdx] = carried[places[keyIdx]];
      ++stats.carriedKeys;
    } else {
      const std::uint32_t* ids = parentOperand.row(parentIndex.memberAt(place));
      for (std::size_t keyIdx = 0; keyIdx < width; ++keyIdx) {
        key[keyIdx] = ids[member.parentSlots[keyIdx]];
      }
    }
    index.prefetchSlot(key);
  }
}

bool SuffixBatch::extend(std::size_t memberIdx, std::size_t rows, JoinStats& stats) {
  const SuffixMember& member = plan_.members[memberIdx];
  const IdIndex& index = *indexes_[memberIdx];
  const std::size_t width = member.slots.size();
  groups_.resize(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    groups_[row] = index.groupOf(keys_.data() + row * width);
    index.prefetchGroupOf(groups_[row]);
  }
  const bool carries = !index.carriedSlots().empty();
  found_.resize(rows);
  std::size_t total = 0;
  for (std::size_t row = 0; row < rows; ++row) {
    const std::span<const std::uint32_t> found =
        index.members(groups_[row], keys_.data() + row * width);
    if (found.empty()) {
      found_[row] = {0, 0};
      continue;
    }
    found_[row] = {index.placeOf(found.data()), static_cast<std::uint32_t>(found.size())};
    total += found.size();
    __builtin_prefetch(found.data());
    if (carries) __builtin_prefetch(index.carried(found));
  }
  if (total > kMaxRows) return false;
  stats.candidateVisits += total;

  Step& step = steps_[memberIdx];
  step.from.resize(total);
  step.place.resize(total);
  std::size_t at = 0;
  for (std::size_t row = 0; row < rows; ++row) {
    const Found found = found_[row];
    for (std::uint32_t place = found.place; place < found.place + found.count; ++place) {
      step.from[at] = static_cast<std::uint32_t>(row);
      step.place[at] = place;
      ++at;
    }
  }
  return true;
}

void SuffixBatch::collect(std::span<const std::uint32_t> outer) {
  const std::vector<SuffixMember>& members = plan_.members;
  combos_.resize(rowCount_ * width_);
  for (std::size_t row = 0; row < rowCount_; ++row) {
    std::uint32_t* combo = combos_.data() + row * width_;
    std::size_t at = row;
    for (std::size_t memberIdx = members.size(); memberIdx-- > 0;) {
      combo[members[memberIdx].operand] =
          indexes_[memberIdx]->memberAt(steps_[memberIdx].place[at]);
      at = steps_[memberIdx].from[at];
    }
    combo[0] = outer[at];
  }
  if (plan_.walkIsOrdered) return;
  // Each outer tuple's rows are together: sorted one outer tuple at a time.
  std::size_t begin = 0;
  while (begin < rowCount_) {
    std::size_t end = begin + 1;
    while (end < rowCount_ && combos_[end * width_] == combos_[begin * width_]) ++end;
    sorter_.sort(std::span(combos_).subspan(begin * width_, (end - begin) * width_), width_, 1,
                 plan_.packBits);
    begin = end;
  }
}

}  // namespace natjoin
