// The echo section: the join list and every relation, written back from
// memory with the echo's own separators.
#include "echo/echo.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "string_sink.h"
#include "test_util.h"

namespace natjoin {
namespace {

std::string echo(const JoinList& joinList, const Relations& relations) {
  test::StringSink sink;
  OutputWriter out(sink);
  echoDatabase(out, joinList, relations);
  out.flush();
  return sink.text();
}

TEST(Echo, WritesJoinListAndEveryRelationInFileOrder) {
  test::RelationMaker maker;
  Relations relations;
  maker.add(relations, "S", {"b", "c"}, {{"2", "x"}, {"4", "y"}});
  maker.add(relations, "R", {"a", "b"}, {{"1", "2"}, {"3", "4"}});
  maker.add(relations, "T", {"d"}, {});
  EXPECT_EQ(echo({"R", "S"}, relations),
            "join(R,S)\n"
            "\n"
            "S(b, c)\n"
            "2,x\n"
            "4,y\n"
            "\n"
            "R(a, b)\n"
            "1,2\n"
            "3,4\n"
            "\n"
            "T(d)\n");
}

TEST(Echo, EmptyJoinListLeavesTheJoinLineOpen) {
  test::RelationMaker maker;
  Relations relations;
  maker.add(relations, "R", {"a"}, {{"1"}});
  EXPECT_EQ(echo({}, relations), "join(\nR(a)\n1\n");
  EXPECT_EQ(echo({}, Relations{}), "join(");
}

TEST(Echo, EmptyNamesInJoinListWriteNothingBetweenSeparators) {
  EXPECT_EQ(echo({"R", ""}, Relations{}), "join(R,)\n");
  EXPECT_EQ(echo({"", "R", "R"}, Relations{}), "join(,R,R)\n");
  EXPECT_EQ(echo({""}, Relations{}), "join()\n");
}

TEST(Echo, RelationWithoutAttributesLeavesItsHeaderOpen) {
  test::RelationMaker maker;
  Relations relations;
  maker.add(relations, "R", {}, {{"1", "2"}, {"3"}});
  maker.add(relations, "S", {}, {});
  maker.add(relations, "T", {"x"}, {});
  maker.add(relations, "U", {}, {});
  EXPECT_EQ(echo({"R"}, relations), "join(R)\n\nR(1,2\n3\n\nS(\nT(x)\n\nU(");
}

TEST(Echo, EachTupleIsWrittenWithItsOwnValues) {
  test::RelationMaker maker;
  Relations relations;
  maker.add(relations, "R", {"a", "b"},
            {{"1"}, {}, {"1", "2", "3"}, {""}, {"", ""}, {}, {"two words", ""}});
  maker.add(relations, "", {"", ""}, {{"v"}});
  EXPECT_EQ(echo({"R"}, relations), "join(R)\n\nR(a, b)\n1\n1,2,3\n\n,\ntwo words,\n\n(, )\nv\n");
}

TEST(Echo, WritesWhatTheReaderStored) {
  const auto db = test::parse("join( R ,S)\nR( a ,b )\n 1 , x y \n\t\n,\n3,4,\n\nS\n\nR(c)\n5");
  EXPECT_EQ(echo(db->joinList, db->relations),
            "join(R,S)\n\nR(a, b)\n1,x y\n\n3,4\n\nS(\nR(c)\n5\n");
}

}  // namespace
}  // namespace natjoin
