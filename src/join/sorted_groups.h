// Intersecting lists of tuples sorted by some of their ids, as an index
// keeps the members of a group (IdIndex::SortedGroup): a merge that gallops
// over runs of the longer list, so that a short list against a long one
// costs the short one's length times a log, never the long one's length.
#ifndef NATJOIN_JOIN_SORTED_GROUPS_H_
#define NATJOIN_JOIN_SORTED_GROUPS_H_

#include <algorithm>
#include <cstdint>
#include <vector>

#include "join/id_index.h"

namespace natjoin {

// How ids `left` compare with ids `right`, `width` of each, in order: below
// 0, 0 or above 0. `Width` is the width where known when compiled, else 0.
template <std::size_t Width>
inline int compareIds(const std::uint32_t* left, const std::uint32_t* right, std::size_t width) {
  if constexpr (Width != 0) width = Width;
  for (std::size_t idIdx = 0; idIdx < width; ++idIdx) {
    if (left[idIdx] != right[idIdx]) return left[idIdx] < right[idIdx] ? -1 : 1;
  }
  return 0;
}

// The first member of `group` from `from` on whose ids are not below `key`.
// It gallops, steps doubling, then halves back: passing k members costs
// about 2 log k comparisons, so that intersecting a short group with a long
// one costs the short one's length times a log.
template <std::size_t Width>
std::uint32_t seek(const IdIndex::SortedGroup& group, std::size_t width, std::uint32_t from,
                   const std::uint32_t* key) {
  auto below = [&](std::uint32_t at) {
    return compareIds<Width>(group.rest + std::size_t{at} * width, key, width) < 0;
  };
  std::uint32_t low = from;  // every member before it is below `key`
  std::uint32_t high = from;
  std::uint32_t step = 1;
  while (high < group.size && below(high)) {
    low = high + 1;
    high = low + std::min(step, group.size - low);
    step *= 2;
  }
  while (low < high) {
    const std::uint32_t middle = low + (high - low) / 2;
    if (below(middle)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

// Lists of one id per member and of similar lengths, where galloping gains
// little: a plain merge, whose steps do not branch on which list is behind,
// a branch a processor would mispredict about every other step.
inline std::uint64_t mergeSingle(const IdIndex::SortedGroup& own, const IdIndex::SortedGroup& other,
                                 std::vector<std::uint32_t>& found) {
  std::uint64_t steps = 0;
  std::uint32_t ownAt = 0;
  std::uint32_t otherAt = 0;
  while (ownAt < own.size && otherAt < other.size) {
    ++steps;
    const std::uint32_t mine = own.rest[ownAt];
    const std::uint32_t theirs = other.rest[otherAt];
    if (mine == theirs) {
      do {
        found.push_back(own.members[ownAt++]);
      } while (ownAt < own.size && own.rest[ownAt] == theirs);
      ++otherAt;
      continue;
    }
    // Exactly one side moves on; which one is computed, not branched on.
    const auto behind = static_cast<std::uint32_t>(mine < theirs);
    ownAt += behind;
    otherAt += behind ^ 1U;
  }
  return steps;
}

// How many times longer one list may be than the other for a plain merge.
inline constexpr std::uint32_t kMergeRatio = 4;

// Appends to `found` the members of `own` whose ids occur in `other`, both
// sorted by those ids, in that order. Returns the steps taken.
template <std::size_t Width>
std::uint64_t intersect(const IdIndex::SortedGroup& own, const IdIndex::SortedGroup& other,
                        std::size_t width, std::vector<std::uint32_t>& found) {
  if constexpr (Width == 1) {
    const std::uint64_t shorter = std::min(own.size, other.size);
    if (std::max(own.size, other.size) <= kMergeRatio * shorter) {
      return mergeSingle(own, other, found);
    }
  }
  std::uint64_t steps = 0;
  std::uint32_t ownAt = 0;
  std::uint32_t otherAt = 0;
  while (ownAt < own.size && otherAt < other.size) {
    ++steps;
    const std::uint32_t* mine = own.rest + std::size_t{ownAt} * width;
    const std::uint32_t* theirs = other.rest + std::size_t{otherAt} * width;
    const int order = compareIds<Width>(mine, theirs, width);
    if (order < 0) {
      ownAt = seek<Width>(own, width, ownAt + 1, theirs);
    } else if (order > 0) {
      otherAt = seek<Width>(other, width, otherAt + 1, mine);
    } else {
      do {
        found.push_back(own.members[ownAt++]);
      } while (ownAt < own.size &&
               compareIds<Width>(own.rest + std::size_t{ownAt} * width, theirs, width) == 0);
      ++otherAt;
    }
  }
  return steps;
}

}  // namespace natjoin

#endif  // NATJOIN_JOIN_SORTED_GROUPS_H_
