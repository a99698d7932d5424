// natjoin_gen: writes one benchmark workload.
//
//   natjoin_gen [--scale X] WORKLOAD FILE [CSVDIR]
//   natjoin_gen --list
//
// Writes the database of WORKLOAD to FILE and prints, on standard output, the
// number of result rows natjoin must produce for it. The count comes from
// how the data was built: key multiplicities, or for cyclic joins a count
// over the generator's own per-key lists, never from running natjoin or
// another join program. With CSVDIR, every relation of the database is also
// written there as NAME.csv, with a header row of its attribute names, for
// loading elsewhere.
//
// --scale X multiplies the number of tuples (and the key domains with them,
// so that each workload keeps its shape) by X: 10 for ten times the data,
// 0.01 for a quick check. --list prints the workload names, one a line.
//
// The output depends on nothing but the workload name and the scale: every
// random choice comes from splitmix64 with a fixed seed, and shuffles and
// draws are done here rather than through <random>, whose distributions
// differ between standard libraries.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "synthetic.h"

namespace {

using natjoin::bench::appendKey;
using natjoin::bench::appendWord;
using natjoin::bench::SplitMix64;

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "natjoin_gen: %s\n", message.c_str());
  std::exit(1);
}

// A file written through a large buffer.
class OutFile {
 public:
  OutFile() = default;
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  ~OutFile() {
    if (file_ != nullptr) std::fclose(file_);
  }

  void open(const std::string& path) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) die("cannot create " + path);
    buffer_.reserve(kFlushSize + 4096);
  }
  bool isOpen() const { return file_ != nullptr; }

  void write(std::string_view text) {
    buffer_.append(text);
    written_ += text.size();
    if (buffer_.size() >= kFlushSize) flush();
  }
  std::uint64_t written() const { return written_; }

  void close() {
    if (file_ == nullptr) return;
    flush();
    if (std::fclose(file_) != 0) die("cannot write " + path_);
    file_ = nullptr;
  }

 private:
  static constexpr std::size_t kFlushSize = std::size_t{1} << 20;

  void flush() {
    if (!buffer_.empty() &&
        std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
      die("cannot write " + path_);
    }
    buffer_.clear();
  }

  std::FILE* file_ = nullptr;
  std::string path_;
  std::string buffer_;
  std::uint64_t written_ = 0;
};

// Writes the database file and, if asked, the CSV copy of each relation.
class Writer {
 public:
  Writer(const std::string& path, std::string csvDir) : csvDir_(std::move(csvDir)) {
    db_.open(path);
    if (!csvDir_.empty()) {
      std::error_code error;
      std::filesystem::create_directories(csvDir_, error);
      if (error) die("cannot create " + csvDir_);
    }
  }

  void joinList(const std::vector<std::string_view>& names) {
    std::string line = "join(";
    bool first = true;
    for (std::string_view name : names) {
      if (!first) line += ", ";
      line += name;
      first = false;
    }
    line += ")\n";
    db_.write(line);
  }

  // Starts a relation block; its tuples follow through row().
  void relation(std::string_view name, const std::vector<std::string>& attributes) {
    std::string header = "\n";
    header += name;
    header += '(';
    std::string csvHeader;
    for (std::size_t i = 0; i < attributes.size(); ++i) {
      if (i > 0) {
        header += ", ";
        csvHeader += ',';
      }
      header += attributes[i];
      csvHeader += attributes[i];
    }
    header += ")\n";
    csvHeader += '\n';
    db_.write(header);
    if (!csvDir_.empty()) {
      csv_.close();
      csv_.open(csvDir_ + "/" + std::string(name) + ".csv");
      csv_.write(csvHeader);
    }
  }

  // One tuple: the values joined by ",", without the line end.
  void row(std::string& line) {
    line += '\n';
    db_.write(line);
    if (csv_.isOpen()) csv_.write(line);
  }

  std::uint64_t bytes() const { return db_.written(); }

  void close() {
    db_.close();
    csv_.close();
  }

 private:
  OutFile db_;
  OutFile csv_;
  std::string csvDir_;
};

// A name made of a letter and a number, such as "E12".
std::string numbered(char letter, std::uint64_t number) {
  std::string name(1, letter);
  name += std::to_string(number);
  return name;
}

// 0, 1, ..., n-1 in a random order (Fisher-Yates).
std::vector<std::uint64_t> permutation(std::uint64_t n, SplitMix64& rng) {
  std::vector<std::uint64_t> values(n);
  for (std::uint64_t i = 0; i < n; ++i) values[i] = i;
  for (std::uint64_t i = n; i > 1; --i) std::swap(values[i - 1], values[rng.below(i)]);
  return values;
}

// How large a workload is: its counts of tuples and keys at scale 1 are
// multiplied by the scale, rounded, and kept at least 1.
class Size {
 public:
  explicit Size(double scale) : scale_(scale) {}
  std::uint64_t operator()(std::uint64_t base) const {
    const double scaled = std::round(static_cast<double>(base) * scale_);
    return scaled < 1 ? 1 : static_cast<std::uint64_t>(scaled);
  }

 private:
  double scale_;
};

// ---- relations of two keys and counting over them -------------------------

using Pair = std::pair<std::uint64_t, std::uint64_t>;

std::vector<Pair> randomPairs(std::uint64_t tuples, std::uint64_t uKeys, std::uint64_t vKeys,
                              SplitMix64& rng) {
  std::vector<Pair> pairs;
  pairs.reserve(tuples);
  for (std::uint64_t i = 0; i < tuples; ++i) {
    const std::uint64_t u = rng.below(uKeys);
    pairs.emplace_back(u, rng.below(vKeys));
  }
  return pairs;
}

void writePairs(Writer& out, std::string_view name, const std::string& u, const std::string& v,
                const std::vector<Pair>& pairs) {
  out.relation(name, {u, v});
  std::string line;
  for (const auto& [first, second] : pairs) {
    line.clear();
    appendKey(line, first);
    line += ',';
    appendKey(line, second);
    out.row(line);
  }
}

// How often each pair occurs. Keys stay far below 2^32.
class PairCounts {
 public:
  explicit PairCounts(const std::vector<Pair>& pairs) {
    counts_.reserve(pairs.size());
    for (const auto& [u, v] : pairs) ++counts_[pack(u, v)];
  }
  std::uint64_t operator()(std::uint64_t u, std::uint64_t v) const {
    const auto found = counts_.find(pack(u, v));
    return found == counts_.end() ? 0 : found->second;
  }

 private:
  static std::uint64_t pack(std::uint64_t u, std::uint64_t v) { return (u << 32) | v; }
  std::unordered_map<std::uint64_t, std::uint64_t> counts_;
};

// The second values of the pairs, listed by first value (with repeats).
using Lists = std::unordered_map<std::uint64_t, std::vector<std::uint64_t>>;
Lists byFirst(const std::vector<Pair>& pairs) {
  Lists lists;
  for (const auto& [u, v] : pairs) lists[u].push_back(v);
  return lists;
}
Lists bySecond(const std::vector<Pair>& pairs) {
  Lists lists;
  for (const auto& [u, v] : pairs) lists[v].push_back(u);
  return lists;
}
const std::vector<std::uint64_t>& listOf(const Lists& lists, std::uint64_t key) {
  static const std::vector<std::uint64_t> kNone;
  const auto found = lists.find(key);
  return found == lists.end() ? kNone : found->second;
}

// Rows of R(a, b) ⋈ S(b, c) ⋈ T(c, a): for each S tuple, the a values R
// pairs with its b, looked up in T's (c, a) counts, or the other way round,
// whichever list is shorter (heavy values make one of them long).
std::uint64_t countTriangles(const std::vector<Pair>& r, const std::vector<Pair>& s,
                             const std::vector<Pair>& t) {
  const Lists rAByB = bySecond(r);
  const Lists tAByC = byFirst(t);
  const PairCounts rCounts(r);
  const PairCounts tCounts(t);
  std::uint64_t rows = 0;
  for (const auto& [b, c] : s) {
    const auto& fromR = listOf(rAByB, b);
    const auto& fromT = listOf(tAByC, c);
    if (fromR.size() <= fromT.size()) {
      for (std::uint64_t a : fromR) rows += tCounts(c, a);
    } else {
      for (std::uint64_t a : fromT) rows += rCounts(a, b);
    }
  }
  return rows;
}

// ---- workloads --------------------------------------------------------------

// R(k, a) and S(k, b): every key distinct within its relation, 180,000 of
// S's keys are R keys and 20,000 are not, so each R tuple meets at most one
// S tuple.
std::uint64_t key2(Writer& out, const Size& size) {
  const std::uint64_t tuples = size(200'000);
  const std::uint64_t shared = size(180'000);
  SplitMix64 rng(0x6b657932'00000001ULL);
  out.joinList({"R", "S"});
  std::string line;

  out.relation("R", {"k", "a"});
  for (std::uint64_t key : permutation(tuples, rng)) {
    line.clear();
    appendKey(line, key);
    line += ',';
    appendWord(line, rng);
    out.row(line);
  }

  out.relation("S", {"k", "b"});
  for (std::uint64_t i : permutation(tuples, rng)) {
    line.clear();
    appendKey(line, i < shared ? i : tuples + i);
    line += ',';
    appendWord(line, rng);
    out.row(line);
  }
  return shared;
}

// R(a, b), S(b, c), T(c, d) with b and c drawn from [0, keys) for each
// tuple. A row is an S tuple with one R tuple of its b and one T tuple of its
// c, so the result has sum over S of count_R(b) * count_T(c) rows. With
// `disjointT` T's c values lie above S's and no row results.
std::uint64_t chain(Writer& out, const std::vector<std::string_view>& order, SplitMix64& rng,
                    std::uint64_t tuples, std::uint64_t bKeys, std::uint64_t cKeys,
                    bool disjointT) {
  out.joinList(order);
  std::string line;
  std::vector<std::uint64_t> rPerB(bKeys, 0);
  std::vector<std::uint64_t> tPerC(cKeys, 0);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sKeys;
  sKeys.reserve(tuples);

  out.relation("R", {"a", "b"});
  for (std::uint64_t i = 0; i < tuples; ++i) {
    const std::uint64_t b = rng.below(bKeys);
    ++rPerB[b];
    line.clear();
    appendWord(line, rng);
    line += ',';
    appendKey(line, b);
    out.row(line);
  }

  out.relation("S", {"b", "c"});
  for (std::uint64_t i = 0; i < tuples; ++i) {
    const std::uint64_t b = rng.below(bKeys);
    const std::uint64_t c = rng.below(cKeys);
    sKeys.emplace_back(b, c);
    line.clear();
    appendKey(line, b);
    line += ',';
    appendKey(line, c);
    out.row(line);
  }

  out.relation("T", {"c", "d"});
  for (std::uint64_t i = 0; i < tuples; ++i) {
    const std::uint64_t c = rng.below(cKeys);
    if (!disjointT) ++tPerC[c];
    line.clear();
    appendKey(line, disjointT ? cKeys + c : c);
    line += ',';
    appendWord(line, rng);
    out.row(line);
  }

  std::uint64_t rows = 0;
  std::uint64_t rsPairs = 0;
  for (const auto& [b, c] : sKeys) {
    rows += rPerB[b] * tPerC[c];
    rsPairs += rPerB[b];
  }
  std::fprintf(stderr, "natjoin_gen: R-S pairs %llu\n", static_cast<unsigned long long>(rsPairs));
  return rows;
}

// The same 100,000 tuples per relation, listed in three orders. Keys as
// many as tuples, so the result is about as large as one relation. Listed
// R, T, S, the first two operands share no attribute.
std::uint64_t chain3(Writer& out, const Size& size, const std::vector<std::string_view>& order) {
  SplitMix64 rng(0x63686e33'00000002ULL);
  const std::uint64_t tuples = size(100'000);
  return chain(out, order, rng, tuples, tuples, tuples, false);
}
std::uint64_t chain3Rst(Writer& out, const Size& size) {
  return chain3(out, size, {"R", "S", "T"});
}
std::uint64_t chain3Rts(Writer& out, const Size& size) {
  return chain3(out, size, {"R", "T", "S"});
}
std::uint64_t chain3Trs(Writer& out, const Size& size) {
  return chain3(out, size, {"T", "R", "S"});
}

// R joins S on one of 2,000 b values: about 100,000^2 / 2,000 = 5,000,000
// pairs, none of which finds a T tuple.
std::uint64_t deadend3(Writer& out, const Size& size) {
  SplitMix64 rng(0x64656164'00000003ULL);
  return chain(out, {"R", "S", "T"}, rng, size(100'000), size(2'000), size(100'000), true);
}

// A relation (key, word) holding the keys 0..count-1 once each, shuffled.
void dimension(Writer& out, std::string_view name, const std::vector<std::string>& attributes,
               std::uint64_t count, SplitMix64& rng) {
  out.relation(name, attributes);
  std::string line;
  for (std::uint64_t key : permutation(count, rng)) {
    line.clear();
    appendKey(line, key);
    line += ',';
    appendWord(line, rng);
    out.row(line);
  }
}

// F(k1, k2, k3, m) and dimensions Di(ki, xi) holding keys 0..999 once each.
// F's keys are drawn from [0, 1050), so a fact row is in the result exactly
// when all three keys are below 1000.
std::uint64_t star(Writer& out, const Size& size, const std::vector<std::string_view>& order) {
  const std::uint64_t facts = size(500'000);
  const std::uint64_t perDimension = size(1'000);
  const std::uint64_t keyRange = perDimension + (perDimension + 19) / 20;
  SplitMix64 rng(0x73746172'00000004ULL);
  out.joinList(order);
  std::string line;
  std::uint64_t rows = 0;

  out.relation("F", {"k1", "k2", "k3", "m"});
  for (std::uint64_t i = 0; i < facts; ++i) {
    line.clear();
    bool matches = true;
    for (int k = 0; k < 3; ++k) {
      const std::uint64_t key = rng.below(keyRange);
      matches = matches && key < perDimension;
      appendKey(line, key);
      line += ',';
    }
    appendWord(line, rng);
    out.row(line);
    if (matches) ++rows;
  }

  for (int d = 1; d <= 3; ++d) {
    const auto number = static_cast<std::uint64_t>(d);
    dimension(out, numbered('D', number), {numbered('k', number), numbered('x', number)},
              perDimension, rng);
  }
  return rows;
}
std::uint64_t starFactFirst(Writer& out, const Size& size) {
  return star(out, size, {"F", "D1", "D2", "D3"});
}
std::uint64_t starFactLast(Writer& out, const Size& size) {
  return star(out, size, {"D1", "D2", "D3", "F"});
}

// A snowflake: facts F(k1, k2, m), dimensions D1(k1, g) and D2(k2, x)
// holding their keys once each, and G(g, h) below D1 holding its 100 values
// of g once each. Every fact is in exactly one row.
std::uint64_t snowflake(Writer& out, const Size& size, const std::vector<std::string_view>& order) {
  const std::uint64_t facts = size(500'000);
  const std::uint64_t first = size(10'000);
  const std::uint64_t second = size(1'000);
  const std::uint64_t groups = size(100);
  SplitMix64 rng(0x736e6f77'00000005ULL);
  out.joinList(order);
  std::string line;

  out.relation("F", {"k1", "k2", "m"});
  for (std::uint64_t i = 0; i < facts; ++i) {
    line.clear();
    appendKey(line, rng.below(first));
    line += ',';
    appendKey(line, rng.below(second));
    line += ',';
    appendWord(line, rng);
    out.row(line);
  }
  out.relation("D1", {"k1", "g"});
  for (std::uint64_t key : permutation(first, rng)) {
    line.clear();
    appendKey(line, key);
    line += ',';
    appendKey(line, key % groups);
    out.row(line);
  }
  dimension(out, "D2", {"k2", "x"}, second, rng);
  dimension(out, "G", {"g", "h"}, groups, rng);
  return facts;
}
std::uint64_t snowFactFirst(Writer& out, const Size& size) {
  return snowflake(out, size, {"F", "D1", "G", "D2"});
}
// G's value is bound first and D2's key next, so F's candidates are the
// facts whose k1 D1 pairs with that value, grouped by k2.
std::uint64_t snowOuterFirst(Writer& out, const Size& size) {
  return snowflake(out, size, {"G", "D2", "F", "D1"});
}
// D1's candidates for a G value and a D2 key are restricted by F through
// that key: an intersection no index answers.
std::uint64_t snowDimsFirst(Writer& out, const Size& size) {
  return snowflake(out, size, {"G", "D2", "D1", "F"});
}

// R(a) and S(b) share no attribute: every pair is a row.
std::uint64_t cross2(Writer& out, const Size& size) {
  const std::uint64_t tuples = size(400);
  SplitMix64 rng(0x63727332'00000005ULL);
  out.joinList({"R", "S"});
  std::string line;
  for (const char* name : {"R", "S"}) {
    out.relation(name, {name[0] == 'R' ? "a" : "b"});
    for (std::uint64_t i = 0; i < tuples; ++i) {
      line.clear();
      appendWord(line, rng);
      out.row(line);
    }
  }
  return tuples * tuples;
}

// About 150 MB of relations outside the join list, with the two joined
// relations A(k, x) and B(k, y) at a third and two thirds of the file. A and
// B hold the same 100,000 distinct keys, so each A tuple meets one B tuple.
std::uint64_t wideEcho(Writer& out, const Size& size) {
  const std::uint64_t joinTuples = size(100'000);
  const std::uint64_t targetBytes = size(150'000'000);
  SplitMix64 rng(0x77696465'00000006ULL);
  out.joinList({"A", "B"});
  std::string line;
  std::uint64_t fillers = 0;

  const auto fillTo = [&](std::uint64_t bytes) {
    while (out.bytes() < bytes) {
      const std::uint64_t columns = 2 + rng.below(3);
      const std::uint64_t tuples = 500 + rng.below(20'000);
      std::vector<std::string> attributes;
      for (std::uint64_t c = 1; c <= columns; ++c) attributes.push_back(numbered('c', c));
      out.relation(numbered('E', ++fillers), attributes);
      for (std::uint64_t i = 0; i < tuples; ++i) {
        line.clear();
        for (std::uint64_t c = 0; c < columns; ++c) {
          if (c > 0) line += ',';
          appendWord(line, rng);
        }
        out.row(line);
      }
    }
  };
  const auto joined = [&](const char* name, const char* payload) {
    out.relation(name, {"k", payload});
    for (std::uint64_t key : permutation(joinTuples, rng)) {
      line.clear();
      appendKey(line, key);
      line += ',';
      appendWord(line, rng);
      out.row(line);
    }
  };

  fillTo(targetBytes / 3);
  joined("A", "x");
  fillTo(targetBytes * 2 / 3);
  joined("B", "y");
  fillTo(targetBytes);
  std::fprintf(stderr, "natjoin_gen: %llu relations outside the join\n",
               static_cast<unsigned long long>(fillers));
  return joinTuples;
}

// R(a, b), S(b, c), T(c, a) with 50,000 tuples each and every value drawn
// from a domain of 2,500: each value occurs some 20 times per attribute, so
// R ⋈ S has about 1,000,000 rows and some 8,000 of them close a triangle.
std::uint64_t triUniform(Writer& out, const Size& size) {
  const std::uint64_t tuples = size(50'000);
  const std::uint64_t keys = size(2'500);
  SplitMix64 rng(0x74726975'00000007ULL);
  out.joinList({"R", "S", "T"});
  const auto r = randomPairs(tuples, keys, keys, rng);
  const auto s = randomPairs(tuples, keys, keys, rng);
  const auto t = randomPairs(tuples, keys, keys, rng);
  writePairs(out, "R", "a", "b", r);
  writePairs(out, "S", "b", "c", s);
  writePairs(out, "T", "c", "a", t);
  return countTriangles(r, s, t);
}

// R(a, b), S(b, c), T(c, a) with 40,000 tuples each, where four heavy values
// per attribute take a large share: in each relation a quarter of the
// tuples have a heavy first value and a quarter a heavy second value, the
// other value of those drawn from 20,000 light ones; the rest are light on
// both sides. Whichever two relations are joined first, their heavy values
// meet in 10,000^2 / 4 = 25,000,000 rows, of which only a few thousand
// close a triangle.
std::uint64_t triHeavy(Writer& out, const Size& size) {
  constexpr std::uint64_t kHeavy = 4;
  const std::uint64_t tuples = size(40'000);
  const std::uint64_t light = size(20'000);
  SplitMix64 rng(0x74726968'00000008ULL);
  out.joinList({"R", "S", "T"});
  const auto relation = [&] {
    std::vector<Pair> pairs;
    pairs.reserve(tuples);
    for (std::uint64_t i = 0; i < tuples; ++i) {
      const std::uint64_t kind = rng.below(4);
      const std::uint64_t heavy = light + rng.below(kHeavy);
      const std::uint64_t u = rng.below(light);
      const std::uint64_t v = rng.below(light);
      pairs.emplace_back(kind == 0 ? heavy : u, kind == 1 ? heavy : v);
    }
    return pairs;
  };
  const auto r = relation();
  const auto s = relation();
  const auto t = relation();
  writePairs(out, "R", "a", "b", r);
  writePairs(out, "S", "b", "c", s);
  writePairs(out, "T", "c", "a", t);
  return countTriangles(r, s, t);
}

// R(a, b), S(b, c), T(c, d), U(d, a) with 50,000 tuples each over a domain
// of 6,250 values: R ⋈ S ⋈ T has some 3,200,000 rows and about 4,000 of them
// close the cycle. Counted as paths a-b-c through R, S times paths c-d-a
// through T, U, for each (a, c).
std::uint64_t cycle4(Writer& out, const Size& size) {
  const std::uint64_t tuples = size(50'000);
  const std::uint64_t keys = size(6'250);
  SplitMix64 rng(0x63796334'00000009ULL);
  out.joinList({"R", "S", "T", "U"});
  const auto r = randomPairs(tuples, keys, keys, rng);
  const auto s = randomPairs(tuples, keys, keys, rng);
  const auto t = randomPairs(tuples, keys, keys, rng);
  const auto u = randomPairs(tuples, keys, keys, rng);
  writePairs(out, "R", "a", "b", r);
  writePairs(out, "S", "b", "c", s);
  writePairs(out, "T", "c", "d", t);
  writePairs(out, "U", "d", "a", u);

  const Lists rAByB = bySecond(r);
  const Lists uAByD = byFirst(u);
  std::vector<Pair> viaRS;  // (a, c) once per path
  for (const auto& [b, c] : s) {
    for (std::uint64_t a : listOf(rAByB, b)) viaRS.emplace_back(a, c);
  }
  std::vector<Pair> viaTU;  // (a, c) once per path
  for (const auto& [c, d] : t) {
    for (std::uint64_t a : listOf(uAByD, d)) viaTU.emplace_back(a, c);
  }
  const PairCounts closing(viaTU);
  std::uint64_t rows = 0;
  for (const auto& [a, c] : viaRS) rows += closing(a, c);
  return rows;
}

// A chain into a triangle: R(a, b), S(b, c) lead to c, and T(c, d),
// U(d, e), V(e, c) close a cycle there. 50,000 tuples each; a and b from
// 50,000 values, c, d and e from 5,000, so about 1,000 triangles each meet
// some ten R ⋈ S rows. Counted per c: R ⋈ S rows ending there times
// triangles through it.
std::uint64_t chainCycle(Writer& out, const Size& size) {
  const std::uint64_t tuples = size(50'000);
  const std::uint64_t chainKeys = size(50'000);
  const std::uint64_t cycleKeys = size(5'000);
  SplitMix64 rng(0x63686379'0000000aULL);
  out.joinList({"R", "S", "T", "U", "V"});
  const auto r = randomPairs(tuples, chainKeys, chainKeys, rng);
  const auto s = randomPairs(tuples, chainKeys, cycleKeys, rng);
  const auto t = randomPairs(tuples, cycleKeys, cycleKeys, rng);
  const auto u = randomPairs(tuples, cycleKeys, cycleKeys, rng);
  const auto v = randomPairs(tuples, cycleKeys, cycleKeys, rng);
  writePairs(out, "R", "a", "b", r);
  writePairs(out, "S", "b", "c", s);
  writePairs(out, "T", "c", "d", t);
  writePairs(out, "U", "d", "e", u);
  writePairs(out, "V", "e", "c", v);

  std::vector<std::uint64_t> rPerB(chainKeys, 0);
  for (const auto& [a, b] : r) ++rPerB[b];
  std::vector<std::uint64_t> pathsTo(cycleKeys, 0);
  for (const auto& [b, c] : s) pathsTo[c] += rPerB[b];
  const Lists uEByD = byFirst(u);
  const PairCounts vCounts(v);
  std::uint64_t rows = 0;
  for (const auto& [c, d] : t) {
    if (pathsTo[c] == 0) continue;
    for (std::uint64_t e : listOf(uEByD, d)) rows += pathsTo[c] * vCounts(e, c);
  }
  return rows;
}

// R1(x0, x1), R2(x1, x2), ..., R8(x7, x8): 20,000 tuples each (200,000 at
// scale 10), keys as many as tuples, so the result is about one relation's
// size. Counted as the number of paths reaching each value of x_i, step by
// step along the chain.
std::uint64_t chain8(Writer& out, const Size& size) {
  constexpr std::uint64_t kRelations = 8;
  const std::uint64_t tuples = size(20'000);
  const std::uint64_t keys = tuples;
  SplitMix64 rng(0x63686e38'0000000bULL);
  std::vector<std::string> names;
  for (std::uint64_t i = 1; i <= kRelations; ++i) names.push_back(numbered('R', i));
  out.joinList(std::vector<std::string_view>(names.begin(), names.end()));

  std::vector<std::uint64_t> paths(keys, 1);  // paths ending at each x0 value
  for (std::uint64_t i = 0; i < kRelations; ++i) {
    const auto pairs = randomPairs(tuples, keys, keys, rng);
    writePairs(out, names[i], numbered('x', i), numbered('x', i + 1), pairs);
    std::vector<std::uint64_t> next(keys, 0);
    for (const auto& [from, to] : pairs) next[to] += paths[from];
    paths = std::move(next);
  }
  std::uint64_t rows = 0;
  for (std::uint64_t count : paths) rows += count;
  return rows;
}

struct Workload {
  const char* name;
  std::uint64_t (*write)(Writer&, const Size&);
  bool listed;  // false: another name for a listed workload
};

constexpr Workload kWorkloads[] = {
    {"key2", key2, true},
    {"chain3-rst", chain3Rst, true},
    {"chain3-rts", chain3Rts, true},
    {"chain3-trs", chain3Trs, true},
    {"star-factfirst", starFactFirst, true},
    {"star-factlast", starFactLast, true},
    {"cross2", cross2, true},
    {"deadend3", deadend3, true},
    {"wide-echo", wideEcho, true},
    {"tri-uniform", triUniform, true},
    {"tri-heavy", triHeavy, true},
    {"cycle4", cycle4, true},
    {"chaincycle", chainCycle, true},
    {"chain8", chain8, true},
    {"snow-factfirst", snowFactFirst, true},
    {"snow-outerfirst", snowOuterFirst, true},
    {"snow-dimsfirst", snowDimsFirst, true},
    {"chain3", chain3Rst, false},
    {"star4", starFactFirst, false},
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: natjoin_gen [--scale X] WORKLOAD FILE [CSVDIR]\n"
               "       natjoin_gen --list\nworkloads:");
  for (const Workload& workload : kWorkloads) std::fprintf(stderr, " %s", workload.name);
  std::fprintf(stderr, "\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--list") {
    for (const Workload& workload : kWorkloads) {
      if (workload.listed) std::printf("%s\n", workload.name);
    }
    return 0;
  }
  double scale = 1;
  if (args.size() >= 2 && args[0] == "--scale") {
    const std::string text(args[1]);
    char* end = nullptr;
    scale = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(scale) || scale <= 0) {
      die("the scale must be a positive number: " + text);
    }
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 2 && args.size() != 3) usage();
  for (const Workload& workload : kWorkloads) {
    if (args[0] != workload.name) continue;
    Writer out(std::string(args[1]), args.size() == 3 ? std::string(args[2]) : "");
    const std::uint64_t rows = workload.write(out, Size(scale));
    out.close();
    std::printf("%llu\n", static_cast<unsigned long long>(rows));
    return 0;
  }
  die("unknown workload " + std::string(args[0]));
}
