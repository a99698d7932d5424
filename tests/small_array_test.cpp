// The small array keeps two values in place and the rest on the heap; every
// way between the two must keep the values.
#include "join/small_array.h"

#include <gtest/gtest.h>

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
