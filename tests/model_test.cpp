// Relation records built through the copying operations: what goes in comes
// back out unchanged, in order, and independent of the caller's objects.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "model/relation.h"

namespace natjoin {
namespace {

using Values = std::vector<std::string>;

Values valuesOf(const Relation& relation, std::size_t index) {
  Values values;
  for (const std::string_view value : relation.tuple(index).values()) values.emplace_back(value);
  return values;
}

std::vector<Values> tuplesOf(const Relation& relation) {
  std::vector<Values> tuples;
  for (std::size_t index = 0; index < relation.tupleCount(); ++index) {
    tuples.push_back(valuesOf(relation, index));
  }
  return tuples;
}

TEST(Relation, NewRecordIsEmpty) {
  const Relation relation;
  EXPECT_EQ(relation.name(), "");
  EXPECT_TRUE(relation.attributes().empty());
  EXPECT_EQ(relation.tupleCount(), 0u);
  EXPECT_EQ(relation.tupleText(), "");
}

TEST(Relation, TupleWithoutValuesIsStoredAndCounted) {
  Relation relation;
  relation.addTuple({"1"});
  relation.addTuple({});
  relation.addTuple({"2"});
  ASSERT_EQ(relation.tupleCount(), 3u);
  EXPECT_FALSE(relation.tuple(1).hasValues());
  EXPECT_EQ(relation.tuple(1).size(), 0u);
  EXPECT_EQ(tuplesOf(relation), (std::vector<Values>{{"1"}, {}, {"2"}}));
}

TEST(Relation, OneEmptyValueDiffersFromNoValues) {
  Relation relation;
  relation.addTuple({""});
  relation.addTuple({});
  relation.addTuple({"", ""});
  ASSERT_EQ(relation.tupleCount(), 3u);
  EXPECT_TRUE(relation.tuple(0).hasValues());
  EXPECT_EQ(relation.tuple(0).size(), 1u);
  EXPECT_FALSE(relation.tuple(1).hasValues());
  EXPECT_EQ(relation.tuple(2).size(), 2u);
  EXPECT_EQ(tuplesOf(relation), (std::vector<Values>{{""}, {}, {"", ""}}));
}

TEST(Relation, EqualTuplesAreKeptTwiceInOrder) {
  Relation relation;
  relation.addTuple({"1", "x"});
  relation.addTuple({"1", "x"});
  relation.addTuple({"2", ""});
  relation.addTuple({"1", "x"});
  EXPECT_EQ(tuplesOf(relation),
            (std::vector<Values>{{"1", "x"}, {"1", "x"}, {"2", ""}, {"1", "x"}}));
}

TEST(Relation, TupleLengthIsNotTiedToTheAttributes) {
  Relation relation;
  relation.addAttribute("a");
  relation.addAttribute("b");
  relation.addTuple({"1", "2", "3"});
  relation.addTuple({"4"});
  EXPECT_EQ(relation.attributes().size(), 2u);
  EXPECT_EQ(tuplesOf(relation), (std::vector<Values>{{"1", "2", "3"}, {"4"}}));
}

TEST(Relation, ChangingTheCallersTupleLeavesTheStoredOneAlone) {
  Relation relation;
  Tuple tuple{"1", "two words", ""};
  relation.addTuple(tuple);
  EXPECT_EQ(tuple, (Tuple{"1", "two words", ""}));  // the argument is only read
  tuple[0] = "changed";
  tuple.push_back("extra");
  relation.addTuple(tuple);
  tuple.clear();
  EXPECT_EQ(tuplesOf(relation),
            (std::vector<Values>{{"1", "two words", ""}, {"changed", "two words", "", "extra"}}));
}

TEST(Relation, ManyTuplesStayIntactAsStorageGrows) {
  Relation relation;
  for (int row = 0; row < 2000; ++row) {
    if (row % 7 == 3) {
      relation.addTuple({});
    } else {
      relation.addTuple({std::to_string(row), std::string(static_cast<std::size_t>(row % 5), 'v')});
    }
  }
  ASSERT_EQ(relation.tupleCount(), 2000u);
  for (std::size_t row = 0; row < 2000; ++row) {
    const Values expected =
        row % 7 == 3 ? Values{} : Values{std::to_string(row), std::string(row % 5, 'v')};
    ASSERT_EQ(valuesOf(relation, row), expected) << "tuple " << row;
  }
}

TEST(Relation, SetNameAndAddAttributeKeepTheirOwnCopy) {
  Relation relation;
  std::string name = "Supplier";
  relation.setName(name);
  name.assign(100, 'x');  // long enough to move to other storage
  std::string attribute = "sno";
  relation.addAttribute(attribute);
  attribute[0] = 'X';
  // Arguments that are gone right after the call, many of them, so that the
  // attribute list grows and moves.
  for (int index = 0; index < 200; ++index) {
    relation.addAttribute(std::string(40, 'a') + std::to_string(index));
  }
  relation.addAttribute(std::string());
  EXPECT_EQ(relation.name(), "Supplier");
  ASSERT_EQ(relation.attributes().size(), 202u);
  EXPECT_EQ(relation.attributes()[0], "sno");
  for (std::size_t index = 0; index < 200; ++index) {
    ASSERT_EQ(relation.attributes()[index + 1], std::string(40, 'a') + std::to_string(index));
  }
  EXPECT_EQ(relation.attributes()[201], "");
}

}  // namespace
}  // namespace natjoin
