// Shared helpers of the test suite: relations built in memory, in-memory runs
// of the pipeline, files in a temporary folder, and runs of the real binary.
#ifndef NATJOIN_TESTS_TEST_UTIL_H_
#define NATJOIN_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "reader/database_file.h"

namespace natjoin::test {

// Whether every step is checked or counted (sanitizers, coverage), which
// makes the tests several times slower and memory not the tool's own: the
// comparisons on generated databases then try fewer of them (the optimised
// build runs them all), and memory is not measured.
#if defined(__SANITIZE_ADDRESS__) || defined(NATJOIN_COVERAGE_BUILD)
inline constexpr bool kInstrumented = true;
#else
inline constexpr bool kInstrumented = false;
#endif

// One tuple's values, in order; any number of them.
using Tuple = std::vector<std::string>;

// The values of `tuple`, in order.
std::vector<std::string_view> valuesOf(TupleView tuple);

// Builds relations from strings held by the caller. A relation refers to its
// text rather than owning it, so the maker keeps a copy of every name and
// value it is given and must outlive the relations it made.
class RelationMaker {
 public:
  RelationMaker() = default;
  // A move leaves the kept text where it is; a copy would not.
  RelationMaker(RelationMaker&&) = default;
  RelationMaker(const RelationMaker&) = delete;
  RelationMaker& operator=(const RelationMaker&) = delete;

  // Appends a relation with these name, attributes and tuples to `relations`
  // and returns it. REQUIRES: no value holds "," or "\n", which the stored
  // tuple text cannot represent (the reader never produces such values).
  Relation& add(Relations& relations, std::string_view name,
                const std::vector<std::string>& attributes = {},
                const std::vector<Tuple>& tuples = {});
  // Appends one attribute name to `relation`, which this maker made.
  void addAttribute(Relation& relation, std::string_view name);
  // Gives `relation` its tuples. REQUIRES: it has none yet; values as for add.
  void setTuples(Relation& relation, const std::vector<Tuple>& tuples);

 private:
  std::string_view keep(std::string_view text);
  // A deque never moves its elements, so views into kept text stay valid.
  std::deque<std::string> text_;
  // Each relation's attribute names joined by ",".
  std::unordered_map<const Relation*, std::string> attributeText_;
};

// Gives `relation` the tuples of `text`, given by the offset just past
// each. REQUIRES: it has none yet; `text` outlives it.
void setTupleText(Relation& relation, std::string_view text,
                  const std::vector<std::uint64_t>& ends);

// Reads a database from text.
std::unique_ptr<Database> parse(std::string_view text);

// The whole output file (echo and result) for a database text.
std::string outputFor(std::string_view text);

// A folder that is removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view bytes);

struct RunResult {
  int status = -1;         // exit status, or -1 if the process did not exit normally
  int signal = 0;          // the signal that ended it, if any
  std::string output;      // what it wrote to standard output
  long peakKilobytes = 0;  // the peak resident memory of the process
};

// Runs the natjoin binary with `args` (program name not included), feeding
// `input` to its standard input. A non-zero `addressSpaceLimit` caps the
// child's virtual memory, in bytes.
RunResult runNatjoin(const std::vector<std::string>& args, std::string_view input = {},
                     std::size_t addressSpaceLimit = 0);

// A database in a form to read in a failure message: the join list, then
// each relation's name, attributes and tuples.
std::string describe(const JoinList& joinList, const Relations& relations);

// Whether `actual` is `expected`; where not, the message gives the first
// line that differs and the line counts. For outputs of many thousand lines,
// where EXPECT_EQ's line diff would take quadratic time and memory.
::testing::AssertionResult sameText(std::string_view actual, std::string_view expected);

// splitmix64: small, fast and the same everywhere, for generated databases.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

 private:
  std::uint64_t state_;
};

// `prefix` followed by `number`. (GCC 12 warns wrongly, -Wrestrict, about
// "literal" + std::string at -O3.)
inline std::string numbered(const char* prefix, std::size_t number) {
  std::string text(prefix);
  text += std::to_string(number);
  return text;
}

}  // namespace natjoin::test

#endif  // NATJOIN_TESTS_TEST_UTIL_H_
