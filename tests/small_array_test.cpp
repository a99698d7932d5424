// The small array keeps two values in place, the rest on the heap, and a
// large array in pages of its own; every way between them must keep the
// values. The text starts of tuples are kept in such arrays.
#include "join/small_array.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "join/columns.h"

namespace natjoin {
namespace {

std::vector<std::uint32_t> valuesOf(const SmallArray& array) {
  return {array.begin(), array.end()};
}

TEST(SmallArray, KeepsItsValuesInPlaceOnTheHeapAndBetween) {
  SmallArray array;
  std::vector<std::uint32_t> expected;
  for (std::uint32_t value = 1; value <= 9; ++value) {
    array.push_back(value * 11);
    expected.push_back(value * 11);
    ASSERT_EQ(valuesOf(array), expected) << "after " << value << " values";
  }
  // Shrinking back to two values moves them in place again.
  array.resize(2);
  array.shrink_to_fit();
  EXPECT_EQ(valuesOf(array), (std::vector<std::uint32_t>{11, 22}));
  array.push_back(33);
  array.resize(5, 7);
  EXPECT_EQ(valuesOf(array), (std::vector<std::uint32_t>{11, 22, 33, 7, 7}));
  array.resize(3);
  array.shrink_to_fit();
  EXPECT_EQ(valuesOf(array), (std::vector<std::uint32_t>{11, 22, 33}));
  array.assign(4, 9);
  EXPECT_EQ(valuesOf(array), (std::vector<std::uint32_t>(4, 9)));
  array.clear();
  EXPECT_TRUE(array.empty());
  // Sizes are kept in 32 bits: more values are refused, not wrapped.
  EXPECT_THROW(array.reserve(std::size_t{1} << 32), std::bad_alloc);
  EXPECT_TRUE(array.empty());
}

TEST(SmallArray, LargeArraysGrowAndShrinkWhereTheyAreKeepingTheirValues) {
  // From the heap to pages of its own and back, through growing by
  // doubling, resizing and shrinking within the pages.
  const std::size_t large = SmallArray::kMappedFrom * 3;
  SmallArray array;
  for (std::uint32_t value = 0; value < large; ++value) array.push_back(value * 7);
  array.resize(large - SmallArray::kMappedFrom / 2 + 3);
  array.shrink_to_fit();
  array.resize(large * 2, 5);
  for (std::size_t at = 0; at < array.size(); ++at) {
    const std::uint32_t expected =
        at < large - SmallArray::kMappedFrom / 2 + 3 ? static_cast<std::uint32_t>(at * 7) : 5;
    ASSERT_EQ(array[at], expected) << at;
  }
  SmallArray copy(array);
  EXPECT_EQ(copy, array);
  array.resize(1000);
  array.shrink_to_fit();
  for (std::uint32_t at = 0; at < 1000; ++at) ASSERT_EQ(array[at], at * 7) << at;
  array.resize(2);
  array.shrink_to_fit();
  EXPECT_EQ(valuesOf(array), (std::vector<std::uint32_t>{0, 7}));
}

TEST(SmallArray, LargeArraysAssignedZerosHoldOnlyZeros) {
  // Fresh pages are zeros already and are not written; pages an array holds
  // from before, or values on the heap, are.
  const std::size_t large = SmallArray::kMappedFrom + 5;
  for (const std::size_t before : {std::size_t{0}, std::size_t{3}, std::size_t{1000}, large}) {
    SmallArray array;
    array.assign(before, 7);
    array.assign(large, 0);
    ASSERT_EQ(array.size(), large);
    EXPECT_EQ(std::count(array.begin(), array.end(), 0u), static_cast<std::ptrdiff_t>(large))
        << before;
    array.clear();
    array.resize(large / 2, 9);
    array.resize(large, 0);
    EXPECT_EQ(std::count(array.begin(), array.end(), 9u), static_cast<std::ptrdiff_t>(large / 2))
        << before;
    EXPECT_EQ(std::count(array.begin(), array.end(), 0u),
              static_cast<std::ptrdiff_t>(large - large / 2))
        << before;
  }
}

TEST(SmallArray, CopiesAndMovesEitherKind) {
  for (const std::vector<std::uint32_t>& values :
       {std::vector<std::uint32_t>{}, std::vector<std::uint32_t>{5},
        std::vector<std::uint32_t>{5, 6}, std::vector<std::uint32_t>{5, 6, 7, 8}}) {
    SmallArray original;
    original.assign(values.begin(), values.end());
    SmallArray copy(original);
    EXPECT_EQ(valuesOf(copy), values);
    copy.push_back(1);  // a copy owns its values
    EXPECT_EQ(valuesOf(original), values);

    SmallArray moved(std::move(copy));
    std::vector<std::uint32_t> withOne = values;
    withOne.push_back(1);
    EXPECT_EQ(valuesOf(moved), withOne);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty

    SmallArray assigned{1, 2, 3};
    assigned = std::move(moved);
    EXPECT_EQ(valuesOf(assigned), withOne);
    assigned = original;
    EXPECT_EQ(assigned, original);
  }
}

TEST(TextStarts, KeepStartsAndNoneInFourOrEightBytes) {
  // Texts under 4 GiB keep a start in 4 bytes, longer ones in 8; a start
  // never set reads as none, large arrays included (their pages are fresh).
  for (const std::uint64_t textSize : {std::uint64_t{1000}, std::uint64_t{UINT32_MAX} - 1,
                                       std::uint64_t{UINT32_MAX}, std::uint64_t{1} << 33}) {
    const std::uint64_t last = std::min<std::uint64_t>(textSize, (std::uint64_t{1} << 33) - 1);
    const std::size_t count = SmallArray::kMappedFrom + 3;
    TextStarts starts;
    starts.reset(count, textSize);
    starts.set(0, 0);
    starts.set(1, last);  // the shown part may begin at the text's very end
    starts.set(2, TextStarts::kNone);
    starts.set(count - 1, 7);
    EXPECT_EQ(starts[0], 0u) << textSize;
    EXPECT_EQ(starts[1], last) << textSize;
    EXPECT_EQ(starts[2], TextStarts::kNone) << textSize;
    EXPECT_EQ(starts[3], TextStarts::kNone) << textSize;
    EXPECT_EQ(starts[count - 2], TextStarts::kNone) << textSize;
    EXPECT_EQ(starts[count - 1], 7u) << textSize;
    starts.keepOnly(std::vector<std::uint32_t>{1, 3, static_cast<std::uint32_t>(count - 1)});
    EXPECT_EQ(starts[0], last) << textSize;
    EXPECT_EQ(starts[1], TextStarts::kNone) << textSize;
    EXPECT_EQ(starts[2], 7u) << textSize;
  }
}

}  // namespace
}  // namespace natjoin
