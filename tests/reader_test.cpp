// The reader over databases held in memory: the join section, the gaps, the
// relation blocks with their headers and tuple lines, line ends, and trimming.
#include "reader/reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "reader/database_file.h"
#include "test_util.h"

namespace natjoin {
namespace {

using Values = std::vector<std::string>;

// What the reader stored, as plain values that compare and print.
struct Rel {
  std::string name;
  Values attributes;
  std::vector<Values> tuples;
  friend bool operator==(const Rel&, const Rel&) = default;
};

struct Parsed {
  JoinList joinList;
  std::vector<Rel> relations;
  friend bool operator==(const Parsed&, const Parsed&) = default;
};

std::string visible(std::string_view text) {
  std::string shown = "\"";
  for (const char c : text) {
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\t') {
      shown += "\\t";
    } else {
      shown += c;
    }
  }
  return shown + '"';
}

std::string visible(const Values& values) {
  std::string shown = "(";
  for (const std::string& value : values) shown += visible(value) + ' ';
  return shown + ')';
}

void PrintTo(const Parsed& parsed, std::ostream* os) {
  *os << "join" << visible(parsed.joinList);
  for (const Rel& rel : parsed.relations) {
    *os << "\n  " << visible(rel.name) << visible(rel.attributes) << " tuples:";
    for (const Values& tuple : rel.tuples) *os << ' ' << visible(tuple);
  }
}

Parsed convert(const JoinList& joinList, const Relations& relations) {
  Parsed parsed{joinList, {}};
  for (const auto& relation : relations) {
    Rel& rel = parsed.relations.emplace_back();
    rel.name = relation.name();
    for (const std::string_view attribute : relation.attributes())
      rel.attributes.emplace_back(attribute);
    for (std::size_t index = 0; index < relation.tupleCount(); ++index) {
      Values& values = rel.tuples.emplace_back();
      for (const std::string_view value : test::valuesOf(relation.tuple(index)))
        values.emplace_back(value);
    }
  }
  return parsed;
}

Parsed read(std::string_view text) {
  const auto db = test::parse(text);
  return convert(db->joinList, db->relations);
}

struct Case {
  std::string_view input;
  Parsed expected;
};

void expectReads(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(read(c.input), c.expected) << "input: " << visible(c.input);
  }
}

std::string crlf(std::string_view text) {
  std::string converted;
  for (const char c : text) converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return converted;
}

// ---- Join section ----

TEST(ReaderJoinSection, BlanksAndTabsInsideAndAroundNamesAreDropped) {
  expectReads({
      {"join(My Rel, B)\n", {{"MyRel", "B"}, {}}},
      {"join(\tA\t b ,\tC )\n", {{"Ab", "C"}, {}}},
  });
}

TEST(ReaderJoinSection, EmptyNamesComeOnlyFromTabsBetweenDelimiters) {
  expectReads({
      {"join(A,,B)\n", {{"A", "B"}, {}}},
      {"join(A, , B)\n", {{"A", "B"}, {}}},
      {"join()\n", {{}, {}}},
      {"join( )\n", {{}, {}}},
      {"join(A, )\n", {{"A"}, {}}},
      {"join(A,\t)\n", {{"A", ""}, {}}},
      {"join(A, \t )\n", {{"A", ""}, {}}},
      {"join(\t)\n", {{""}, {}}},
  });
}

TEST(ReaderJoinSection, TextBeforeTheFirstParenthesisIsSkippedOverManyLines) {
  expectReads({
      {"first line, with a comma\n\n  and ) more\njoin (R, S)\n", {{"R", "S"}, {}}},
      {"(R)\n", {{"R"}, {}}},
      {"JOIN R S(T)\n", {{"T"}, {}}},
  });
}

TEST(ReaderJoinSection, ListEndsAtLineFeedReadAfterADelimiter) {
  expectReads({
      {"join(\nR(a)\n1\n", {{}, {{"R", {"a"}, {{"1"}}}}}},
      {"join(R,\nS(a)\n", {{"R"}, {{"S", {"a"}, {}}}}},
      {"join(R, S) \nT(a)\n", {{"R", "S"}, {{"T", {"a"}, {}}}}},
  });
}

TEST(ReaderJoinSection, NameRunsOverLineEndsUntilCommaOrClosingParenthesis) {
  expectReads({
      {"join(R(S\nT, U)\n", {{"R(S\nT", "U"}, {}}},
      // After ")" a name starts and takes in the first header's name and "(".
      {"join(R) x\nS(a)\n1\n\nT(b)\n", {{"R", "x\nS(a"}, {{"1", {}, {}}, {"T", {"b"}, {}}}}},
      {"join(R)\t\nS(a)\n", {{"R", "\nS(a"}, {}}},
  });
}

TEST(ReaderJoinSection, EndOfFileBeforeParenthesisGivesNoNamesAndNoRelations) {
  expectReads({
      {"", {{}, {}}},
      {"join R, S\n\nR a\n1\n", {{}, {}}},
  });
}

TEST(ReaderJoinSection, EndOfFileInsideListKeepsEveryNameStartedAndNoRelations) {
  expectReads({
      {"join(R, S", {{"R", "S"}, {}}},
      {"join(R,", {{"R"}, {}}},
      {"join(R,\t", {{"R", ""}, {}}},
      {"join(R)", {{"R"}, {}}},
      {"join(R) ", {{"R"}, {}}},
      {"join(R, S\nR(a, b\n1\n", {{"R", "S\nR(a", "b\n1\n"}, {}}},
  });
}

// ---- Gaps ----

TEST(ReaderGaps, EmptyAndBlankLinesBeforeAndBetweenBlocksArePassedOver) {
  expectReads({
      {"join(R, S)\n\n\n  \n\t\n \t \n\nR(a)\n1\n\n\n   \n\t\t\n\n  S(b)\n2\n\n\n \n",
       {{"R", "S"}, {{"R", {"a"}, {{"1"}}}, {"S", {"b"}, {{"2"}}}}}},
      {"join(R)\n\n\n", {{"R"}, {}}},
      {"join(R)\n \t ", {{"R"}, {}}},
  });
}

// ---- Relation blocks ----

TEST(ReaderBlocks, ReadsBlocksInFileOrderKeepingRepeatedNames) {
  expectReads(
      {{"join(Part, Supplier)\n"
        "Part(pno, color, sno)\n"
        "p1, red, s1\n"
        "p2 ,blue,s2\n"
        "p3,green\n"
        "\n"
        "\n"
        "Supplier (sno, city)\n"
        "  s1, north\n"
        "s2,south\n"
        "\n"
        "Part(x)\n"
        "p9\n",
        {{"Part", "Supplier"},
         {{"Part",
           {"pno", "color", "sno"},
           {{"p1", "red", "s1"}, {"p2", "blue", "s2"}, {"p3", "green"}}},
          {"Supplier", {"sno", "city"}, {{"s1", "north"}, {"s2", "south"}}},
          {"Part", {"x"}, {{"p9"}}}}}}});
}

TEST(ReaderBlocks, BlankOnlyLineInsideBlockAddsEmptyTuple) {
  expectReads({{"join(R)\nR(a)\n1\n \t \n2\n\t\n", {{"R"}, {{"R", {"a"}, {{"1"}, {}, {"2"}, {}}}}}},
               {"join(R)\nR(a)\n \n", {{"R"}, {{"R", {"a"}, {{}}}}}}});
}

TEST(ReaderBlocks, HeaderWithoutEmptyLineBeforeItIsReadAsTuple) {
  expectReads({{"join(R)\nR(a)\n1\nS(b)\n2\n", {{"R"}, {{"R", {"a"}, {{"1"}, {"S(b)"}, {"2"}}}}}}});
}

TEST(ReaderBlocks, EmptyLineAfterHeaderGivesNoTuples) {
  expectReads(
      {{"join(R)\nR(a)\n\n\nS(b)\n1\n", {{"R"}, {{"R", {"a"}, {}}, {"S", {"b"}, {{"1"}}}}}}});
}

TEST(ReaderBlocks, EndOfFileEndsTheLastBlockWithOrWithoutLineFeed) {
  expectReads({
      {"join(R)\nR(a, b)\n1,2\n3,4", {{"R"}, {{"R", {"a", "b"}, {{"1", "2"}, {"3", "4"}}}}}},
      {"join(R)\nR(a, b)\n1,2\n3,4 , ", {{"R"}, {{"R", {"a", "b"}, {{"1", "2"}, {"3", "4"}}}}}},
      {"join(R)\nR(a, b)\n", {{"R"}, {{"R", {"a", "b"}, {}}}}},
      {"join(R)\nR(a, b)", {{"R"}, {{"R", {"a", "b"}, {}}}}},
      {"join(R)\nR", {{"R"}, {{"R", {}, {}}}}},
      {"join(R)\nR(a)\n1\n\nS", {{"R"}, {{"R", {"a"}, {{"1"}}}, {"S", {}, {}}}}},
  });
}

TEST(ReaderBlocks, HeaderNameAndAttributesFollowTheCuttingRules) {
  struct HeaderCase {
    std::string_view header;
    std::string name;
    Values attributes;
  };
  const std::vector<HeaderCase> cases = {
      {"R(a, b)", "R", {"a", "b"}},
      {"Supplier (sno, city)", "Supplier", {"sno", "city"}},
      {"S\t(b, c)", "S\t", {"b", "c"}},
      {"My Rel(a, b)", "My", {"el(a", "b"}},
      {"R(a, b) x", "R", {"a", "b)"}},
      {"R()", "R", {}},
      {"R(", "R", {}},
      {"R( )", "R", {}},
      {"R( , )", "R", {""}},
      {"R(a,,b,)", "R", {"a", "", "b"}},
      {"R( a ,\tb c\t, d )\t ", "R", {"a", "b c", "d"}},
      {"R(A, a, A)", "R", {"A", "a", "A"}},
      {"Lonely", "Lonely", {}},
      {"R x", "R", {}},
      {"R xyz", "R", {"y"}},
      {"(a, b)", "", {"a", "b"}},
  };
  for (const HeaderCase& c : cases) {
    const std::string input = "join(R)\n" + std::string(c.header) + "\n1, 2\n";
    EXPECT_EQ(read(input), (Parsed{{"R"}, {{c.name, c.attributes, {{"1", "2"}}}}}))
        << "header: " << visible(c.header);
  }
}

TEST(ReaderBlocks, TupleValuesAreTrimmedAndSplitAtEveryComma) {
  struct LineCase {
    std::string_view line;
    Values values;
  };
  const std::vector<LineCase> cases = {
      {"1,2", {"1", "2"}},
      {" \t1 , two  words\t,\t3 ", {"1", "two  words", "3"}},
      {"1,2,", {"1", "2"}},
      {"1, 2 , ", {"1", "2"}},
      {",", {""}},
      {" , ", {""}},
      {",,", {"", ""}},
      {"a,,b", {"a", "", "b"}},
      {"a,b,,", {"a", "b", ""}},
      {"a , ,", {"a", ""}},
      {"a b,,", {"a b", ""}},
      {" a,b,, ", {"a", "b", ""}},
      {"x\ty", {"x\ty"}},
      {"\va\f, \vb", {"\va\f", "\vb"}},
      {"S(b)", {"S(b)"}},
  };
  for (const LineCase& c : cases) {
    // Once ended by a line feed and once as the file's last characters.
    for (const std::string_view end : {"\n", ""}) {
      const std::string input = "join(R)\nR(a)\n" + std::string(c.line) + std::string(end);
      EXPECT_EQ(read(input), (Parsed{{"R"}, {{"R", {"a"}, {c.values}}}}))
          << "line: " << visible(c.line) << " end: " << visible(end);
    }
  }
}

TEST(ReaderBlocks, LongLinesAreTrimmedWhereverTheirBlanksFall) {
  // Lines of many lengths, so that blanks, tabs, CRs and line ends fall at
  // every offset of the blocks the reader scans.
  std::string text = "join(R)\nR(a, b)\n";
  std::vector<Values> tuples;
  for (std::size_t k = 0; k < 40; ++k) {
    const std::string a(k, 'a');
    const std::string b(1 + k % 19, 'b');
    text += a;
    text += k % 2 == 0 ? " ," : ",\t";
    text += b;
    text += k % 3 == 0 ? " " : "";
    text += k % 4 == 0 ? "\r\n" : "\n";
    tuples.push_back({a, b});
    text.append(a).append(",").append(b).append("\n");
    tuples.push_back({a, b});
  }
  text += std::string(37, 'c') + " ";
  tuples.push_back({std::string(37, 'c')});
  EXPECT_EQ(read(text), (Parsed{{"R"}, {{"R", {"a", "b"}, tuples}}}));
}

TEST(ReaderBlocks, AppendsToTheListsItIsGiven) {
  std::string text = "join(S)\nS(b)\n1\n";
  text.push_back('\0');  // the byte of slack the reader may write to
  JoinList joinList{"R"};
  test::RelationMaker maker;
  Relations relations;
  maker.add(relations, "R");
  readDatabase(std::span<char>(text.data(), text.size() - 1), joinList, relations);
  EXPECT_EQ(convert(joinList, relations),
            (Parsed{{"R", "S"}, {{"R", {}, {}}, {"S", {"b"}, {{"1"}}}}}));
}

// ---- Line ends ----

TEST(ReaderLineEnds, CrLfFileReadsExactlyLikeLfFile) {
  const std::string_view lf =
      "join(R\nS, T)\n\n \t\nR\nS(a, b)\n1, x \n \n2,y,\n\n\t\nT (c)\n\nU(d)\n3";
  const Parsed expected{{"R\nS", "T"},
                        {{"R", {}, {{"S(a", "b)"}, {"1", "x"}, {}, {"2", "y"}}},
                         {"T", {"c"}, {}},
                         {"U", {"d"}, {{"3"}}}}};
  ASSERT_EQ(read(lf), expected);
  EXPECT_EQ(read(crlf(lf)), expected);
  const std::string withLastLineEnd = std::string(lf) + "\n";
  EXPECT_EQ(read(crlf(withLastLineEnd)), read(withLastLineEnd));
}

TEST(ReaderLineEnds, CrLfInsideJoinSectionIsOneLineFeed) {
  expectReads({
      {"join(R\r\nS)\r\nR(a)\r\n", {{"R\nS"}, {{"R", {"a"}, {}}}}},
      {"join(R,\r\nS(a)\r\n", {{"R"}, {{"S", {"a"}, {}}}}},
      {"join(R) x\r\nS(a)\r\n", {{"R", "x\nS(a"}, {}}},
      {"\r\nx\r\njoin(R)\r\n\r\n \r\nR(a)\r\n1\r\n\r\n", {{"R"}, {{"R", {"a"}, {{"1"}}}}}},
  });
}

TEST(ReaderLineEnds, CarriageReturnNotBeforeLineFeedIsData) {
  expectReads({
      {"join(R)\nR\r(a\r)\n1\r2, \r \n3\r\r\n\r4\r",
       {{"R"}, {{"R\r", {"a\r"}, {{"1\r2", "\r"}, {"3\r"}, {"\r4\r"}}}}}},
      {"join(R)\n\n\rX(a)\n", {{"R"}, {{"\rX", {"a"}, {}}}}},
      {"join(R)\r", {{"R", "\r"}, {}}},
      {"join(R)\nR(a)\n1\n\r\r\n2\n", {{"R"}, {{"R", {"a"}, {{"1"}, {"\r"}, {"2"}}}}}},
  });
}

// ---- trimmed ----

TEST(Trimmed, RemovesBlanksTabsAndLineFeedsFromBothEndsOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {" \t\n", ""},
      {"a", "a"},
      {" \t\na b\t c\n\t ", "a b\t c"},
      {"\ra\r", "\ra\r"},
      {" \r ", "\r"},
      {"\v x \v", "\v x \v"},
      {"\f\t", "\f"},
      {"\t\fx", "\fx"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(trimmed(input), expected) << "input: " << visible(input);
  }
}

}  // namespace
}  // namespace natjoin

namespace natjoin {
namespace {

TEST(ReaderTuples, AnyTupleIsFoundByNumberPastCheckpointsAndEmptyLines) {
  // Tuples without values (blank lines) take no text, so finding tuple i
  // counts them from the checkpoint before it.
  std::string text = "join(R)\n\nR(a, b)\n";
  std::vector<std::string> expected;
  for (int at = 0; at < 300; ++at) {
    const bool empty = at % 64 == 0 || at % 64 == 63 || at % 7 == 3;
    const std::string number = std::to_string(at);
    expected.push_back(empty ? std::string() : number + ",v");
    if (empty) {
      text += " \t";
    } else {
      ((text += ' ') += number) += " , v ";
    }
    text += at % 2 == 0 ? "\r\n" : "\n";
  }
  const auto db = test::parse(text);
  const Relation& relation = db->relations.at(0);
  ASSERT_EQ(relation.tupleCount(), expected.size());
  TupleCursor cursor(relation, 0);
  for (std::size_t at = 0; at < expected.size(); ++at) {
    const TupleView sequential = cursor.next();
    const TupleView direct = relation.tuple(at);
    EXPECT_EQ(sequential.hasValues(), !expected[at].empty()) << at;
    EXPECT_EQ(sequential.text(), expected[at]) << at;
    EXPECT_EQ(direct.hasValues(), sequential.hasValues()) << at;
    EXPECT_EQ(direct.text(), expected[at]) << at;
    EXPECT_EQ(TupleCursor(relation, at).next().text(), expected[at]) << at;
  }
}

TEST(DatabaseFile, LargeFileReadsTheSameInHalvesAsInOne) {
  // Over the size read in two halves at once; every line differs, so a half
  // read to the wrong place shows.
  test::TempDir dir;
  std::string text = "join(R)\n\nR(a)\n";
  for (int line = 0; text.size() < (std::size_t{9} << 20) + 3; ++line) {
    (text += std::to_string(line)) += '\n';
  }
  test::writeFile(dir.file("db.txt"), text);
  for (const unsigned threads : {1u, 2u, 3u}) {
    Buffer buffer;
    ASSERT_TRUE(buffer.loadFile(dir.file("db.txt").c_str(), threads));
    ASSERT_EQ(buffer.bytes().size(), text.size()) << threads;
    EXPECT_TRUE(std::string_view(buffer.bytes().data(), buffer.bytes().size()) == text) << threads;
  }
  Buffer missing;
  EXPECT_FALSE(missing.loadFile(dir.file("none.txt").c_str(), 2));
  EXPECT_TRUE(missing.bytes().empty());
}

}  // namespace
}  // namespace natjoin
