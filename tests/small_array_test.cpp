// The small array keeps two values in place, the rest on the heap, and a
// large array in pages of its own; every way between them must keep the
// values.
#include "join/small_array.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

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

}  // namespace
}  // namespace natjoin
