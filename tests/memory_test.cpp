// Peak memory of the tool on large databases, measured on the process.
//
// The database's text is read whole; beyond it, the outermost operand and
// the relations outside the join must cost nothing per tuple. The limit is
// 1.2 times the file plus 16 MiB, what a 32-byte-per-tuple budget for the
// small inner operand and the process's own floor allow.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "test_util.h"

namespace natjoin {
namespace {

// Only the optimised binary is measured: the address sanitizer's shadow
// memory and an unoptimised build's counters are not the tool's.
constexpr const char* kNotMeasured = "not the binary users run";

// The resident memory of this process, in kilobytes: a child starts as a
// copy of it, and its peak counts that copy.
long ownKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// What a database of `size` bytes may cost, in kilobytes, with
// `innerTuples` tuples in the operands after the first: 1.2 times the file
// and 32 bytes per such tuple, or the process's own floor of 16 MiB.
long allowedKilobytes(std::size_t size, std::size_t innerTuples) {
  return std::max(static_cast<long>((size * 12 / 10 + innerTuples * 32) / 1024), long{16} * 1024);
}

// Runs the tool on `database` and expects its peak within the limit. A child
// starts as a copy of this process, so a large test process skips instead.
void expectPeakWithin(const test::TempDir& dir, const std::string& database, long limitKilobytes) {
  if (ownKilobytes() >= limitKilobytes / 2) {
    GTEST_SKIP() << "this process is too large: " << ownKilobytes() << " kB";
  }
  const test::RunResult run = test::runNatjoin({database, dir.file("out.txt")});
  ASSERT_EQ(run.status, 0);
  EXPECT_LE(run.peakKilobytes, limitKilobytes);
}

TEST(Memory, OutermostOperandAndUnjoinedRelationsCostNoMemoryPerTuple) {
  if (test::kInstrumented) GTEST_SKIP() << kNotMeasured;
  test::TempDir dir;
  const std::string database = dir.file("big.txt");
  std::size_t size = 0;
  {
    // Written a line at a time: this process must stay small.
    std::ofstream out(database, std::ios::binary);
    std::string line;
    auto put = [&](std::string_view first, std::string_view second) {
      line.assign(first);
      if (!second.empty()) (line += ',') += second;
      line += '\n';
      out << line;
      size += line.size();
    };
    // 1.5 million facts before 1,000 dimension tuples, and a million tuples
    // in a relation no join names.
    put("join(F, D)\n\nF(k, v)", {});
    for (std::size_t at = 0; at < 1500000; ++at) {
      put(test::numbered("k", at % 1000), test::numbered("v", at));
    }
    put("\nD(k, w)", {});
    for (std::size_t at = 0; at < 1000; ++at) put(test::numbered("k", at), test::numbered("w", at));
    put("\nX(a, b)", {});
    for (std::size_t at = 0; at < 1000000; ++at) {
      put(test::numbered("a", at), test::numbered("b", at));
    }
  }
  const long limitKilobytes = static_cast<long>(size * 12 / 10 / 1024) + long{16} * 1024;
  expectPeakWithin(dir, database, limitKilobytes);
}

TEST(Memory, InnerOperandsCostAtMost32BytesPerTuple) {
  if (test::kInstrumented) GTEST_SKIP() << kNotMeasured;
  // A chain R(a, b), S(b, c), T(c, d) with a million tuples in each inner
  // operand, most of S's without a partner in R, and each join value in
  // two to three tuples: beyond 1.2 times the file, each inner tuple may
  // cost 32 bytes.
  constexpr std::size_t kOuter = 200000;
  constexpr std::size_t kInner = 1000000;
  test::TempDir dir;
  const std::string database = dir.file("chain.txt");
  std::size_t size = 0;
  {
    std::ofstream out(database, std::ios::binary);
    std::string text = "join(R, S, T)\n\nR(a, b)\n";
    auto flush = [&] {
      out << text;
      size += text.size();
      text.clear();
    };
    auto line = [&](std::string_view first, std::string_view second) {
      ((((text += first) += ',') += second) += '\n');
      if (text.size() > 65536) flush();
    };
    for (std::size_t at = 0; at < kOuter; ++at) {
      line(test::numbered("a", at), test::numbered("b", at * 7 % kOuter));
    }
    text += "\nS(b, c)\n";
    for (std::size_t at = 0; at < kInner; ++at) {
      line(test::numbered("b", at * 13 % (2 * kOuter)), test::numbered("c", at * 3 % (kInner / 2)));
    }
    text += "\nT(c, d)\n";
    for (std::size_t at = 0; at < kInner; ++at) {
      line(test::numbered("c", at * 11 % (kInner / 2)), test::numbered("d", at));
    }
    flush();
  }
  const long limitKilobytes = allowedKilobytes(size, 2 * kInner);
  expectPeakWithin(dir, database, limitKilobytes);
}

TEST(Memory, AMillionSmallRelationsCostLittleMoreThanTheirText) {
  if (test::kInstrumented) GTEST_SKIP() << kNotMeasured;
  // A million one-tuple relations, two of them joined: each of the others
  // may cost 64 bytes beyond its share of 1.2 times the file.
  constexpr std::size_t kRelations = 1000000;
  test::TempDir dir;
  const std::string database = dir.file("many.txt");
  std::size_t size = 0;
  {
    std::ofstream out(database, std::ios::binary);
    std::string text = "join(R0, R1)\n";
    for (std::size_t at = 0; at < kRelations; ++at) {
      ((text += '\n') += test::numbered("R", at)) += "(a)\nx\n";
      if (text.size() > 65536) {
        out << text;
        size += text.size();
        text.clear();
      }
    }
    out << text;
    size += text.size();
  }
  const long limitKilobytes =
      allowedKilobytes(size, 0) + static_cast<long>((kRelations - 2) * 64 / 1024);
  expectPeakWithin(dir, database, limitKilobytes);
}

// Writes a database of `count` relations, the text of relation `at` made by
// `relationText`, after `header`; returns its size in bytes.
template <typename RelationText>
std::size_t writeDatabase(const std::string& path, const std::string& header, std::size_t count,
                          RelationText relationText) {
  std::ofstream out(path, std::ios::binary);
  std::string text = header;
  std::size_t size = 0;
  for (std::size_t at = 0; at < count; ++at) {
    relationText(at, text);
    if (text.size() > 65536) {
      out << text;
      size += text.size();
      text.clear();
    }
  }
  out << text;
  return size + text.size();
}

// "join(R0, R1, ..., R<count - 1>)\n"
std::string joinOfAll(std::size_t count) {
  std::string joinList = "join(";
  for (std::size_t at = 0; at < count; ++at) {
    (joinList += at == 0 ? "" : ", ") += test::numbered("R", at);
  }
  return joinList + ")\n";
}

TEST(Memory, EachOperandCostsAtMost256BytesBeyondItsTuples) {
  if (test::kInstrumented) GTEST_SKIP() << kNotMeasured;
  // 100,000 one-tuple relations all joined on one name: the records kept
  // per operand (its slots, ids, level and row pieces) must stay small.
  constexpr std::size_t kOperands = 100000;
  test::TempDir dir;
  const std::string database = dir.file("operands.txt");
  const std::size_t size = writeDatabase(
      database, joinOfAll(kOperands), kOperands, [](std::size_t at, std::string& text) {
        ((text += '\n') += test::numbered("R", at)) += "(a)\nx\n";
      });
  const long limitKilobytes =
      allowedKilobytes(size, kOperands - 1) + static_cast<long>(kOperands * 256 / 1024);
  expectPeakWithin(dir, database, limitKilobytes);
}

TEST(Memory, AChainOf64OperandsCostsAtMost32BytesPerInnerTuple) {
  if (test::kInstrumented) GTEST_SKIP() << kNotMeasured;
  // R0(a0,a1), R1(a1,a2), ... R63(a63,a64), 10,000 tuples each: every
  // value of a1..a63 meets one tuple on each side, so 10,000 rows.
  constexpr std::size_t kOperands = 64;
  constexpr std::size_t kTuples = 10000;
  test::TempDir dir;
  const std::string database = dir.file("chain.txt");
  const std::size_t size = writeDatabase(
      database, joinOfAll(kOperands), kOperands, [](std::size_t at, std::string& text) {
        ((text += '\n') += test::numbered("R", at)) += '(';
        ((text += test::numbered("a", at)) += ',') += test::numbered("a", at + 1);
        text += ")\n";
        for (std::size_t tuple = 0; tuple < kTuples; ++tuple) {
          ((text += std::to_string(tuple)) += ',') += std::to_string((tuple * 7919 + at) % kTuples);
          text += '\n';
        }
      });
  const long limitKilobytes =
      allowedKilobytes(size, (kOperands - 1) * kTuples) + static_cast<long>(kOperands * 256 / 1024);
  expectPeakWithin(dir, database, limitKilobytes);
}

}  // namespace
}  // namespace natjoin
