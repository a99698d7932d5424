// Join planning: which relations become operands, and which conditions and
// hidden columns their attribute names give.
#include "join/planning.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace natjoin {
namespace {

// (leftOperand, leftAttribute, rightOperand, rightAttribute): prints readably.
using Condition = std::array<std::uint32_t, 4>;
using Bits = std::vector<std::vector<bool>>;

const Relation* add(test::RelationMaker& maker, Relations& relations, const std::string& name,
                    const std::vector<std::string>& attributes) {
  return &maker.add(relations, name, attributes);
}

struct Plan {
  std::vector<Condition> conditions;
  Bits hidden;
};

Plan plan(const Operands& operands) {
  std::vector<JoinCondition> conditions;
  HiddenColumns hidden;
  findJoinConditions(operands, conditions, hidden);
  Plan result;
  for (const ColumnBits& bits : hidden) {
    std::vector<bool>& copy = result.hidden.emplace_back(bits.size());
    for (std::size_t at = 0; at < bits.size(); ++at) copy[at] = bits[at];
  }
  for (const JoinCondition& c : conditions) {
    result.conditions.push_back({c.leftOperand, c.leftAttribute, c.rightOperand, c.rightAttribute});
  }
  return result;
}

Operands select(const JoinList& joinList, const Relations& relations) {
  Operands operands;
  selectOperands(joinList, relations, operands);
  return operands;
}

// ---- selectOperands ----

TEST(SelectOperands, TakesFirstRelationOfANameInJoinListOrder) {
  test::RelationMaker maker;
  Relations relations;
  const Relation* r1 = add(maker, relations, "R", {"a"});
  const Relation* s = add(maker, relations, "S", {"b"});
  add(maker, relations, "R", {"c"});
  EXPECT_EQ(select({"S", "R"}, relations), (Operands{s, r1}));
  EXPECT_EQ(select({"R", "S", "R"}, relations), (Operands{r1, s, r1}));
}

TEST(SelectOperands, SkipsNamesWithoutRelationAndComparesExactly) {
  test::RelationMaker maker;
  Relations relations;
  const Relation* r = add(maker, relations, "R", {"a"});
  EXPECT_EQ(select({"X", "R", "r", "R ", " R", ""}, relations), (Operands{r}));
  EXPECT_TRUE(select({"x", "y"}, relations).empty());
  EXPECT_TRUE(select({}, relations).empty());
  EXPECT_TRUE(select({"R"}, Relations{}).empty());
}

TEST(SelectOperands, EmptyNameSelectsFirstRelationWithEmptyName) {
  test::RelationMaker maker;
  Relations relations;
  add(maker, relations, "R", {"a"});
  const Relation* unnamed = add(maker, relations, "", {"b"});
  add(maker, relations, "", {"c"});
  EXPECT_EQ(select({"", "R", ""}, relations), (Operands{unnamed, &relations[0], unnamed}));
}

// ---- findJoinConditions ----

TEST(FindJoinConditions, WorkedExampleOfThreeOperands) {
  test::RelationMaker maker;
  Relations relations;
  add(maker, relations, "T", {"a", "c", "d"});
  add(maker, relations, "U", {"a", "b", "c", "d"});
  add(maker, relations, "S", {"b", "c"});
  add(maker, relations, "R", {"a", "b"});
  const Plan result = plan(select({"R", "S", "T"}, relations));
  EXPECT_EQ(result.conditions, (std::vector<Condition>{{0, 1, 1, 0}, {0, 0, 2, 0}, {1, 1, 2, 1}}));
  EXPECT_EQ(result.hidden, (Bits{{false, false}, {true, false}, {true, true, false}}));
}

TEST(FindJoinConditions, NameSharedByThreeOperandsPairsEveryTwo) {
  test::RelationMaker maker;
  Relations relations;
  const Operands operands{add(maker, relations, "A", {"x"}), add(maker, relations, "B", {"y", "x"}),
                          add(maker, relations, "C", {"x"})};
  const Plan result = plan(operands);
  EXPECT_EQ(result.conditions, (std::vector<Condition>{{0, 0, 1, 1}, {0, 0, 2, 0}, {1, 1, 2, 0}}));
  EXPECT_EQ(result.hidden, (Bits{{false}, {false, true}, {true}}));
}

TEST(FindJoinConditions, NameRepeatedInsideOneOperandPairsEachCopy) {
  test::RelationMaker maker;
  Relations relations;
  const Relation* r = add(maker, relations, "R", {"x", "x"});
  const Relation* s = add(maker, relations, "S", {"x"});

  const Plan rFirst = plan({r, s});
  EXPECT_EQ(rFirst.conditions, (std::vector<Condition>{{0, 0, 1, 0}, {0, 1, 1, 0}}));
  EXPECT_EQ(rFirst.hidden, (Bits{{false, false}, {true}}));

  const Plan sFirst = plan({s, r});
  EXPECT_EQ(sFirst.conditions, (std::vector<Condition>{{0, 0, 1, 0}, {0, 0, 1, 1}}));
  EXPECT_EQ(sFirst.hidden, (Bits{{false}, {true, true}}));
}

TEST(FindJoinConditions, RelationSelectedTwiceHidesAllColumnsOfSecondPosition) {
  test::RelationMaker maker;
  Relations relations;
  add(maker, relations, "R", {"a", "b", "a"});
  const Operands operands = select({"R", "R"}, relations);
  ASSERT_EQ(operands.size(), 2u);
  const Plan result = plan(operands);
  EXPECT_EQ(result.conditions,
            (std::vector<Condition>{
                {0, 0, 1, 0}, {0, 0, 1, 2}, {0, 1, 1, 1}, {0, 2, 1, 0}, {0, 2, 1, 2}}));
  EXPECT_EQ(result.hidden, (Bits{{false, false, false}, {true, true, true}}));
}

TEST(FindJoinConditions, EmptyAttributeNamesJoinAndNamesCompareExactly) {
  test::RelationMaker maker;
  Relations relations;
  const Operands operands{add(maker, relations, "A", {"", "x", "a"}),
                          add(maker, relations, "B", {"X", "a ", " a", ""}),
                          add(maker, relations, "C", {"A"})};
  const Plan result = plan(operands);
  EXPECT_EQ(result.conditions, (std::vector<Condition>{{0, 0, 1, 3}}));
  EXPECT_EQ(result.hidden, (Bits{{false, false, false}, {false, false, false, true}, {false}}));
}

TEST(FindJoinConditions, OperandWithoutAttributesGetsEmptyBitVector) {
  test::RelationMaker maker;
  Relations relations;
  const Operands operands{add(maker, relations, "A", {}), add(maker, relations, "B", {"x"}),
                          add(maker, relations, "C", {"x"})};
  const Plan result = plan(operands);
  EXPECT_EQ(result.conditions, (std::vector<Condition>{{1, 0, 2, 0}}));
  EXPECT_EQ(result.hidden, (Bits{{}, {false}, {true}}));
}

TEST(FindJoinConditions, NoOperandsOrOneOperandGiveNoConditions) {
  const Plan none = plan({});
  EXPECT_TRUE(none.conditions.empty());
  EXPECT_TRUE(none.hidden.empty());

  test::RelationMaker maker;

  Relations relations;
  const Plan one = plan({add(maker, relations, "R", {"x", "x"})});
  EXPECT_TRUE(one.conditions.empty());
  EXPECT_EQ(one.hidden, (Bits{{false, false}}));
}

TEST(FindJoinConditions, ConditionsAreSortedByOperandsThenAttributes) {
  test::RelationMaker maker;
  Relations relations;
  // Names first seen in one order (y before x) and paired in another, across
  // three operand pairs: no grouping by name may show through.
  const Operands operands{add(maker, relations, "A", {"y", "x"}),
                          add(maker, relations, "B", {"x", "y"}),
                          add(maker, relations, "C", {"x", "y"})};
  const Plan result = plan(operands);
  EXPECT_EQ(
      result.conditions,
      (std::vector<Condition>{
          {0, 0, 1, 1}, {0, 1, 1, 0}, {0, 0, 2, 1}, {0, 1, 2, 0}, {1, 0, 2, 0}, {1, 1, 2, 1}}));
  EXPECT_EQ(result.hidden, (Bits{{false, false}, {true, true}, {true, true}}));

  // The later pair of operands sharing a name comes after an earlier pair.
  Relations others;
  const Operands interleaved{add(maker, others, "A", {"x", "y"}), add(maker, others, "B", {"y"}),
                             add(maker, others, "C", {"x"})};
  EXPECT_EQ(plan(interleaved).conditions, (std::vector<Condition>{{0, 1, 1, 0}, {0, 0, 2, 0}}));
}

// The plain nested loop over operand pairs and attribute positions.
Plan nestedLoopPlan(const Operands& operands) {
  Plan result;
  for (const Relation* operand : operands)
    result.hidden.emplace_back(operand->attributes().size(), false);
  for (std::uint32_t a = 0; a < operands.size(); ++a) {
    for (std::uint32_t b = a + 1; b < operands.size(); ++b) {
      const std::vector<std::string_view> left(operands[a]->attributes().begin(),
                                               operands[a]->attributes().end());
      const std::vector<std::string_view> right(operands[b]->attributes().begin(),
                                                operands[b]->attributes().end());
      for (std::uint32_t l = 0; l < left.size(); ++l) {
        for (std::uint32_t m = 0; m < right.size(); ++m) {
          if (left[l] != right[m]) continue;
          result.conditions.push_back({a, l, b, m});
          result.hidden[b][m] = true;
        }
      }
    }
  }
  return result;
}

TEST(FindJoinConditions, MatchesNestedLoopOnGeneratedOperands) {
  static const char* const kNames[] = {"a", "b", "c", "", "A"};
  std::mt19937 rng(20240611);
  const auto below = [&](std::size_t bound) { return static_cast<std::size_t>(rng() % bound); };
  std::size_t conditionsSeen = 0;
  for (int round = 0; round < 500; ++round) {
    test::RelationMaker maker;
    Relations relations;
    for (std::size_t r = 0, count = 1 + below(4); r < count; ++r) {
      std::vector<std::string> attributes;
      for (std::size_t n = 0, width = below(5); n < width; ++n)
        attributes.emplace_back(kNames[below(5)]);
      add(maker, relations, std::to_string(r), attributes);
    }
    Operands operands;
    for (std::size_t n = 0, count = below(6); n < count; ++n) {
      operands.push_back(&relations[below(relations.size())]);
    }
    const Plan expected = nestedLoopPlan(operands);
    const Plan actual = plan(operands);
    ASSERT_EQ(actual.conditions, expected.conditions) << "round " << round;
    ASSERT_EQ(actual.hidden, expected.hidden) << "round " << round;
    conditionsSeen += expected.conditions.size();
  }
  EXPECT_GT(conditionsSeen, 500u);
}

TEST(Planning, LargeInputsCostAboutNLogNNameComparisons) {
  // 50,000 relations and join names, and two operands of 25,000 attribute
  // names each (plus one name repeated 25,000 times in the first): comparing
  // every pair would take over 6 * 10^8 comparisons.
  constexpr std::size_t kCount = 25000;
  test::RelationMaker maker;
  Relations relations;
  JoinList joinList;
  for (std::size_t r = 0; r < 2 * kCount; ++r) {
    maker.add(relations, std::to_string(r));
    joinList.push_back(std::to_string(2 * kCount - 1 - r));
  }
  for (std::size_t a = 0; a < kCount; ++a) {
    maker.addAttribute(relations[2 * kCount - 1], std::to_string(a));
    maker.addAttribute(relations[2 * kCount - 1], "same");
    maker.addAttribute(relations[2 * kCount - 2], std::to_string(kCount - 1 - a));
  }
  // Sorting and looking up n names: at most a few times n log2 n.
  const auto bound = [](std::size_t names) {
    return 4 * names * static_cast<std::size_t>(std::bit_width(names));
  };
  NameComparisons selecting;
  Operands operands;
  selectOperands(joinList, relations, operands, &selecting);
  ASSERT_EQ(operands.size(), 2 * kCount);
  EXPECT_LT(selecting.count, bound(4 * kCount));
  EXPECT_GT(selecting.count, 2 * kCount);  // the counter counts

  operands.resize(2);
  NameComparisons planning;
  std::vector<JoinCondition> conditions;
  HiddenColumns hidden;
  findJoinConditions(operands, conditions, hidden, &planning);
  EXPECT_LT(planning.count, bound(3 * kCount));
  EXPECT_GT(planning.count, 3 * kCount);
  ASSERT_EQ(conditions.size(), kCount);
  EXPECT_EQ(conditions.front(), (JoinCondition{0, 0, 1, kCount - 1}));
  EXPECT_EQ(conditions.back(), (JoinCondition{0, 2 * (kCount - 1), 1, 0}));
}

}  // namespace
}  // namespace natjoin
