// Relation records: tuples stored as one text come back out as the values
// that went in, in order, an empty tuple apart from one empty value; and the
// relations the tests build keep their own copy of what they are given.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "model/relation.h"
#include "test_util.h"

namespace natjoin {
namespace {

using test::Tuple;
using Values = std::vector<std::string>;

Values valuesOf(const Relation& relation, std::size_t index) {
  Values values;
  for (const std::string_view value : test::valuesOf(relation.tuple(index)))
    values.emplace_back(value);
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

TEST(Relation, TupleTextIsCutAtTheGivenEnds) {
  // A tuple without values takes no bytes of the text.
  const std::string text = "1,x\n2\n\n";
  Relation relation;
  test::setTupleText(relation, text, {4, 4, 6, 7, 7});
  ASSERT_EQ(relation.tupleCount(), 5u);
  EXPECT_EQ(relation.tuple(0).text(), "1,x");
  EXPECT_EQ(tuplesOf(relation), (std::vector<Values>{{"1", "x"}, {}, {"2"}, {""}, {}}));
  EXPECT_EQ(relation.tupleText(), text);
}

TEST(Relation, TupleWithoutValuesIsStoredAndCounted) {
  test::RelationMaker maker;
  Relations relations;
  const Relation& relation = maker.add(relations, "R", {}, {{"1"}, {}, {"2"}});
  ASSERT_EQ(relation.tupleCount(), 3u);
  EXPECT_FALSE(relation.tuple(1).hasValues());
  EXPECT_EQ(relation.tuple(1).size(), 0u);
  EXPECT_EQ(tuplesOf(relation), (std::vector<Values>{{"1"}, {}, {"2"}}));
}

TEST(Relation, OneEmptyValueDiffersFromNoValues) {
  test::RelationMaker maker;
  Relations relations;
  const Relation& relation = maker.add(relations, "R", {}, {{""}, {}, {"", ""}});
  ASSERT_EQ(relation.tupleCount(), 3u);
  EXPECT_TRUE(relation.tuple(0).hasValues());
  EXPECT_EQ(relation.tuple(0).size(), 1u);
  EXPECT_FALSE(relation.tuple(1).hasValues());
  EXPECT_EQ(relation.tuple(2).size(), 2u);
  EXPECT_EQ(tuplesOf(relation), (std::vector<Values>{{""}, {}, {"", ""}}));
}

TEST(Relation, EqualTuplesAreKeptTwiceInOrderWhateverTheAttributes) {
  test::RelationMaker maker;
  Relations relations;
  const Relation& relation =
      maker.add(relations, "R", {"a", "b"}, {{"1", "x"}, {"1", "x"}, {"2", "", "3"}, {"1"}});
  EXPECT_EQ(relation.attributes().size(), 2u);
  EXPECT_EQ(tuplesOf(relation),
            (std::vector<Values>{{"1", "x"}, {"1", "x"}, {"2", "", "3"}, {"1"}}));
}

TEST(RelationMaker, ManyTuplesComeBackIntact) {
  std::vector<Tuple> tuples;
  for (int row = 0; row < 2000; ++row) {
    if (row % 7 == 3) {
      tuples.emplace_back();
    } else {
      tuples.push_back({std::to_string(row), std::string(static_cast<std::size_t>(row % 5), 'v')});
    }
  }
  test::RelationMaker maker;
  Relations relations;
  const Relation& relation = maker.add(relations, "R", {}, tuples);
  ASSERT_EQ(relation.tupleCount(), 2000u);
  for (std::size_t row = 0; row < 2000; ++row) {
    const Values expected =
        row % 7 == 3 ? Values{} : Values{std::to_string(row), std::string(row % 5, 'v')};
    ASSERT_EQ(valuesOf(relation, row), expected) << "tuple " << row;
  }
}

TEST(RelationMaker, KeepsItsOwnCopyOfNamesAndValues) {
  test::RelationMaker maker;
  Relations relations;
  std::string name = "Supplier";
  std::vector<Tuple> tuples{{"1", "two words", ""}};
  Relation& relation = maker.add(relations, name, {}, tuples);
  name.assign(100, 'x');  // long enough to move to other storage
  tuples[0][0] = "changed";
  tuples.clear();
  std::string attribute = "sno";
  maker.addAttribute(relation, attribute);
  attribute[0] = 'X';
  // Arguments that are gone right after the call, many of them, so that the
  // attribute list grows and moves.
  for (int index = 0; index < 200; ++index) {
    maker.addAttribute(relation, std::string(40, 'a') + std::to_string(index));
  }
  maker.addAttribute(relation, std::string());
  EXPECT_EQ(relation.name(), "Supplier");
  EXPECT_EQ(tuplesOf(relation), (std::vector<Values>{{"1", "two words", ""}}));
  const std::vector<std::string_view> attributes(relation.attributes().begin(),
                                                 relation.attributes().end());
  ASSERT_EQ(attributes.size(), 202u);
  EXPECT_EQ(attributes[0], "sno");
  for (std::size_t index = 0; index < 200; ++index) {
    ASSERT_EQ(attributes[index + 1], std::string(40, 'a') + std::to_string(index));
  }
  EXPECT_EQ(attributes[201], "");
}

}  // namespace
}  // namespace natjoin
