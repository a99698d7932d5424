// The reader's fast line scanning (many bytes at a time) against plain
// string handling, on generated blocks whose lines cross every alignment.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_util.h"

namespace natjoin {
namespace {

bool isWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n'; }

std::string trimmedCopy(std::string text) {
  while (!text.empty() && isWhiteSpace(text.back())) text.pop_back();
  std::size_t first = 0;
  while (first < text.size() && isWhiteSpace(text[first])) ++first;
  return text.substr(first);
}

// A tuple line's values, by the rules written out as plainly as possible.
std::vector<std::string> plainValues(const std::string& line) {
  std::string text = trimmedCopy(line);
  std::vector<std::string> values;
  if (text.empty()) return values;
  if (text.back() == ',') text.pop_back();
  std::string piece;
  for (const char c : text) {
    if (c == ',') {
      values.push_back(trimmedCopy(piece));
      piece.clear();
    } else {
      piece += c;
    }
  }
  values.push_back(trimmedCopy(piece));
  return values;
}

TEST(ReaderScan, MatchesPlainSplittingOnGeneratedBlocks) {
  std::uint64_t state = 7;
  auto next = [&state](std::uint64_t bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state >> 33) % bound;
  };
  const char alphabet[] = {'a', 'b', 'c', ',', ' ', '\t', '\r', 'x', 'y', 'z'};

  for (int round = 0; round < 1000; ++round) {
    std::string text = "join(R0)\n\n";
    std::vector<std::vector<std::vector<std::string>>> expected;
    const std::uint64_t blocks = 1 + next(4);
    for (std::uint64_t block = 0; block < blocks; ++block) {
      (text += 'R') += std::to_string(block);
      text += "(a, b)\n";
      auto& tuples = expected.emplace_back();
      const std::uint64_t lines = next(12);
      for (std::uint64_t lineIdx = 0; lineIdx < lines; ++lineIdx) {
        std::string line;
        const std::uint64_t length = 1 + next(next(4) == 0 ? 70 : 20);
        for (std::uint64_t i = 0; i < length; ++i) line += alphabet[next(sizeof alphabet)];
        const bool crlf = next(3) == 0;
        const bool lastOfFile = block + 1 == blocks && lineIdx + 1 == lines && next(2) == 0;
        // A CR right before a LF is part of the line end; at the end of the
        // file it is data.
        std::string content = line;
        if (!crlf && !lastOfFile && content.back() == '\r') content.pop_back();
        if (content.empty()) continue;  // it would end the block
        text += line;
        if (!lastOfFile) text += crlf ? "\r\n" : "\n";
        tuples.push_back(plainValues(content));
      }
      if (block + 1 < blocks) text += next(2) == 0 ? "\n" : "\r\n \t\n";
    }

    const auto db = test::parse(text);
    ASSERT_EQ(db->relations.size(), expected.size()) << text;
    for (std::size_t rel = 0; rel < expected.size(); ++rel) {
      const Relation& relation = db->relations[rel];
      ASSERT_EQ(relation.tupleCount(), expected[rel].size()) << text;
      for (std::size_t tuple = 0; tuple < expected[rel].size(); ++tuple) {
        const auto values = test::valuesOf(relation.tuple(tuple));
        EXPECT_EQ(std::vector<std::string>(values.begin(), values.end()), expected[rel][tuple])
            << "relation " << rel << ", tuple " << tuple << " of:\n"
            << text;
      }
    }
  }
}

}  // namespace
}  // namespace natjoin
