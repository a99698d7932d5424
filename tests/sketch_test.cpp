#include "join/sketch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "join/classes.h"
#include "join/columns.h"
#include "join/dictionary.h"
#include "join/planning.h"
#include "test_util.h"

namespace natjoin {
namespace {

std::string value(int number) {
  std::string text("v");
  text += std::to_string(number);
  return text;
}

TEST(DistinctSketch, EstimatesFewAndManyValuesAndIgnoresRepeats) {
  for (const int count : {1, 10, 300, 5000, 200000}) {
    DistinctSketch whole;
    DistinctSketch low;
    DistinctSketch high;
    for (int repeat = 0; repeat < 2; ++repeat) {
      for (int number = 0; number < count; ++number) {
        const std::uint64_t hash = hashText(value(number));
        whole.add(hash);
        (number < count / 2 ? low : high).add(hash);
      }
    }
    const double expected = count;
    EXPECT_NEAR(whole.estimate(), expected, 0.5 + 0.05 * expected) << count;
    low.merge(high);
    EXPECT_EQ(low.estimate(), whole.estimate()) << count;
  }
}

TEST(DistinctSketch, OperandsAreSketchedOnlyWhereTheirValuesAreManyAndDistinct) {
  // a: 160,000 values, 120,000 of them distinct; b: 80,000 values, but ten
  // distinct, so its table grows instead; c: 1,000 distinct of many, but
  // said to have too few values to sketch.
  constexpr int kTuples = 80000;
  test::RelationMaker maker;
  Relations relations;
  std::vector<test::Tuple> sTuples;
  std::vector<test::Tuple> tTuples;
  for (int i = 0; i < kTuples; ++i) {
    sTuples.push_back({value(i), value(i % 10), value(i % 1000)});
    tTuples.push_back({value(i + kTuples / 2)});
  }
  const Relation& r = maker.add(relations, "R", {"c"}, {{"v1"}});
  const Relation& s = maker.add(relations, "S", {"a", "b", "c"}, sTuples);
  const Relation& t = maker.add(relations, "T", {"a"}, tTuples);
  maker.add(relations, "U", {"b"}, {{"v1"}});
  const Operands operands{&r, &s, &t, &relations.back()};
  const JoinClasses classes = findClasses(operands);
  const HiddenColumns hidden = hiddenColumnsOf(operands, classes);
  const std::uint32_t a = classes.operands[2].vars[0];
  const std::uint32_t b = classes.operands[3].vars[0];
  const std::uint32_t c = classes.operands[0].vars[0];
  std::vector<std::size_t> valueCount(classes.varCount, 0);
  valueCount[a] = std::size_t{2} * kTuples;
  valueCount[b] = kTuples + 1;
  valueCount[c] = kSketchFrom - 1;  // told too few to sketch
  std::vector<std::size_t> estimates;
  for (const unsigned threads : {1u, 2u, 3u}) {
    std::vector<std::uint8_t> mostlyRepeats;
    const std::vector<std::size_t> distinct =
        estimateDistinct(operands, classes, hidden, valueCount, hashText, threads, &mostlyRepeats);
    EXPECT_NEAR(static_cast<double>(distinct[a]), 1.5 * kTuples, 0.05 * 1.5 * kTuples);
    EXPECT_EQ(distinct[b], 0u);
    EXPECT_EQ(distinct[c], 0u);
    EXPECT_EQ(mostlyRepeats[a], 0u);
    EXPECT_EQ(mostlyRepeats[b], 1u);
    EXPECT_EQ(mostlyRepeats[c], 0u);  // not sketched at all
    // Whatever the threads' shares, the sketches merge into the same one.
    if (estimates.empty()) estimates = distinct;
    EXPECT_EQ(distinct, estimates) << threads << " threads";
  }
}

// Encodes `operands` on one thread and on `threads`, and expects every
// operand to come out the same: ids, alive tuples, where tuples start.
// Returns the alive tuples of operand 1.
std::size_t expectSameEncoding(const Operands& operands, unsigned threads) {
  const JoinClasses classes = findClasses(operands);
  const HiddenColumns hidden = hiddenColumnsOf(operands, classes);
  const EncodedJoin one = encodeOperands(operands, classes, hidden, hashText, 1);
  const EncodedJoin many = encodeOperands(operands, classes, hidden, hashText, threads);
  EXPECT_EQ(one.domainSize, many.domainSize);
  for (std::size_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
    const EncodedOperand& expected = one.operands[operandIdx];
    const EncodedOperand& got = many.operands[operandIdx];
    EXPECT_EQ(got.width, expected.width);
    EXPECT_EQ(got.alive.size(), expected.alive.size()) << operandIdx;
    if (!(got.alive == expected.alive)) {
      ADD_FAILURE() << "alive tuples of operand " << operandIdx << ", " << threads << " threads";
      continue;
    }
    for (const std::uint32_t tuple : expected.alive) {
      for (std::uint32_t slot = 0; slot < expected.width; ++slot) {
        if (got.id(tuple, slot) != expected.id(tuple, slot)) {
          ADD_FAILURE() << "operand " << operandIdx << ", tuple " << tuple << ", slot " << slot;
          return 0;
        }
      }
      if (got.starts[tuple] != expected.starts[tuple]) {
        ADD_FAILURE() << "start of operand " << operandIdx << ", tuple " << tuple;
        return 0;
      }
    }
  }
  return one.operands[1].alive.size();
}

TEST(Encoding, ALargeOperandSplitOnTwoThreadsGetsTheIdsOfOneThread) {
  // S is large and its values mostly repeats, so that two threads split
  // it, the second half's values numbered apart first. Either way, every
  // operand must come out the same. S's tuples hold short and long values,
  // values first seen in the second half, and tuples that are dead for
  // lacking a value, for holding two values of one name, or for holding no
  // value at all.
  constexpr int kTuples = 70000;
  test::RelationMaker maker;
  Relations relations;
  std::vector<test::Tuple> sTuples;
  for (int i = 0; i < kTuples; ++i) {
    const std::string a = i % 3 == 0 ? "a-long-value-" + std::to_string(i % 50) : value(i % 997);
    const std::string b = i < kTuples * 3 / 4 ? value(i % 13) : "later-" + std::to_string(i % 7);
    if (i % 307 == 0) {
      sTuples.emplace_back();
    } else if (i % 211 == 0) {
      sTuples.push_back({a});
    } else {
      sTuples.push_back({a, b, i % 101 == 0 ? "other" : a, value(i)});
    }
  }
  maker.add(relations, "R", {"a"}, {{"v1"}, {"a-long-value-3"}});
  maker.add(relations, "S", {"a", "b", "a", "x"}, sTuples);
  maker.add(relations, "T", {"b", "c"}, {{"v2", "c1"}, {"later-3", "c2"}});
  Operands operands;
  selectOperands({"R", "S", "T"}, relations, operands);
  // The dead ones are dead: 307, 211 and 101 each divide some tuple.
  EXPECT_LT(expectSameEncoding(operands, 2), static_cast<std::size_t>(kTuples) - 500);
}

TEST(Encoding, OperandsSplitByVariablesOnSeveralThreadsGetTheIdsOfOneThread) {
  // Mostly distinct values: each thread splits the operands having its
  // variables, all their tuples but only its variables' values. S's tuples
  // are dead for lacking a value or for two values of a; T leads with b,
  // which rows leave out, so where its tuples start depends on the thread
  // that owns b; X has no variable at all, U repeats c.
  constexpr int kTuples = 20000;
  test::RelationMaker maker;
  Relations relations;
  std::vector<test::Tuple> r, s, t, u, x;
  for (int i = 0; i < kTuples; ++i) {
    const auto n = static_cast<std::size_t>(i);
    const std::string a = i % 5 == 0 ? test::numbered("a-long-value-", n) : value(i);
    r.push_back({value(i % 7000)});
    if (i % 211 == 0) {
      s.push_back({a});
    } else {
      s.push_back({a, value(i / 2), i % 101 == 0 ? "other" : a});
    }
    t.push_back({value(i / 3), test::numbered("c", n % 9000), value(i)});
    u.push_back({test::numbered("c", n), test::numbered("d", n % 3), test::numbered("c", n)});
  }
  x.push_back({"x1"});
  x.push_back({"x2"});
  maker.add(relations, "R", {"a"}, r);
  maker.add(relations, "S", {"a", "b", "a"}, s);
  maker.add(relations, "T", {"b", "c", "e"}, t);
  maker.add(relations, "X", {"z"}, x);
  maker.add(relations, "U", {"c", "d", "c"}, u);
  Operands operands;
  selectOperands({"R", "S", "T", "X", "U"}, relations, operands);
  for (const unsigned threads : {2u, 3u, 7u}) {
    EXPECT_LT(expectSameEncoding(operands, threads), static_cast<std::size_t>(kTuples) - 200)
        << threads << " threads";
  }
}

TEST(Dictionary, ATableMadeForTheExpectedValuesDoesNotGrow) {
  constexpr int kValues = 100000;
  std::string text;
  for (int number = 0; number < kValues; ++number) (text += value(number)) += ',';
  Dictionary dictionary;
  dictionary.reserve(text.data(), text.size(), kValues);
  const std::size_t slots = dictionary.tableSize();
  EXPECT_GE(slots, std::size_t{kValues} * 4 / 3);
  std::size_t offset = 0;
  for (int number = 0; number < kValues; ++number) {
    const std::string v = value(number);
    ASSERT_EQ(dictionary.intern(std::string_view(text).substr(offset, v.size()), hashText(v)),
              static_cast<std::uint32_t>(number));
    offset += v.size() + 1;
  }
  EXPECT_EQ(dictionary.tableSize(), slots);
}

}  // namespace
}  // namespace natjoin
