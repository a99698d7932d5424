// natjoin_gen: writes one benchmark workload.
//
//   natjoin_gen WORKLOAD FILE [CSVDIR]
//
// Writes the database of WORKLOAD to FILE and prints, on standard output, the
// number of result rows natjoin must produce for it. The count comes from
// how the data was built (key multiplicities), never from running a join.
// With CSVDIR, every relation of the database is also written there as
// NAME.csv, with a header row of its attribute names, for loading elsewhere.
//
// The output depends on nothing but the workload name: every random choice
// comes from splitmix64 with a fixed seed, and shuffles and draws are done
// here rather than through <random>, whose distributions differ between
// standard libraries.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
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

  void joinList(std::initializer_list<std::string_view> names) {
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

// R(k, a) and S(k, b): every key distinct within its relation, 180,000 of
// S's keys are R keys and 20,000 are not, so each R tuple meets at most one
// S tuple.
std::uint64_t key2(Writer& out) {
  constexpr std::uint64_t kTuples = 200'000;
  constexpr std::uint64_t kShared = 180'000;
  SplitMix64 rng(0x6b657932'00000001ULL);
  out.joinList({"R", "S"});
  std::string line;

  out.relation("R", {"k", "a"});
  for (std::uint64_t key : permutation(kTuples, rng)) {
    line.clear();
    appendKey(line, key);
    line += ',';
    appendWord(line, rng);
    out.row(line);
  }

  out.relation("S", {"k", "b"});
  for (std::uint64_t i : permutation(kTuples, rng)) {
    line.clear();
    appendKey(line, i < kShared ? i : kTuples + i);
    line += ',';
    appendWord(line, rng);
    out.row(line);
  }
  return kShared;
}

// R(a, b), S(b, c), T(c, d) with b and c drawn from [0, keys) for each
// tuple. A row is an S tuple with one R tuple of its b and one T tuple of its
// c, so the result has sum over S of count_R(b) * count_T(c) rows. With
// `disjointT` T's c values lie above S's and no row results.
std::uint64_t chain(Writer& out, SplitMix64& rng, std::uint64_t tuples, std::uint64_t bKeys,
                    std::uint64_t cKeys, bool disjointT) {
  out.joinList({"R", "S", "T"});
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

std::uint64_t chain3(Writer& out) {
  SplitMix64 rng(0x63686e33'00000002ULL);
  return chain(out, rng, 100'000, 100'000, 100'000, false);
}

// R joins S on one of 2,000 b values: about 100,000^2 / 2,000 = 5,000,000
// pairs, none of which finds a T tuple.
std::uint64_t deadend3(Writer& out) {
  SplitMix64 rng(0x64656164'00000003ULL);
  return chain(out, rng, 100'000, 2'000, 100'000, true);
}

// F(k1, k2, k3, v) and dimensions Di(ki, xi) holding keys 0..999 once each.
// F's keys are drawn from [0, 1050), so a fact row is in the result exactly
// when all three keys are below 1000.
std::uint64_t star4(Writer& out) {
  constexpr std::uint64_t kFacts = 500'000;
  constexpr std::uint64_t kDimension = 1'000;
  constexpr std::uint64_t kKeyRange = 1'050;
  SplitMix64 rng(0x73746172'00000004ULL);
  out.joinList({"F", "D1", "D2", "D3"});
  std::string line;
  std::uint64_t rows = 0;

  out.relation("F", {"k1", "k2", "k3", "v"});
  for (std::uint64_t i = 0; i < kFacts; ++i) {
    line.clear();
    bool matches = true;
    for (int k = 0; k < 3; ++k) {
      const std::uint64_t key = rng.below(kKeyRange);
      matches = matches && key < kDimension;
      appendKey(line, key);
      line += ',';
    }
    appendWord(line, rng);
    out.row(line);
    if (matches) ++rows;
  }

  for (int d = 1; d <= 3; ++d) {
    const auto number = static_cast<std::uint64_t>(d);
    out.relation(numbered('D', number), {numbered('k', number), numbered('x', number)});
    for (std::uint64_t key : permutation(kDimension, rng)) {
      line.clear();
      appendKey(line, key);
      line += ',';
      appendWord(line, rng);
      out.row(line);
    }
  }
  return rows;
}

// R(a) and S(b) share no attribute: every pair is a row.
std::uint64_t cross2(Writer& out) {
  constexpr std::uint64_t kTuples = 400;
  SplitMix64 rng(0x63727332'00000005ULL);
  out.joinList({"R", "S"});
  std::string line;
  for (const char* name : {"R", "S"}) {
    out.relation(name, {name[0] == 'R' ? "a" : "b"});
    for (std::uint64_t i = 0; i < kTuples; ++i) {
      line.clear();
      appendWord(line, rng);
      out.row(line);
    }
  }
  return kTuples * kTuples;
}

// About 150 MB of relations outside the join list, with the two joined
// relations A(k, x) and B(k, y) at a third and two thirds of the file. A and
// B hold the same 100,000 distinct keys, so each A tuple meets one B tuple.
std::uint64_t wideEcho(Writer& out) {
  constexpr std::uint64_t kJoinTuples = 100'000;
  constexpr std::uint64_t kTargetBytes = 150'000'000;
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
    for (std::uint64_t key : permutation(kJoinTuples, rng)) {
      line.clear();
      appendKey(line, key);
      line += ',';
      appendWord(line, rng);
      out.row(line);
    }
  };

  fillTo(kTargetBytes / 3);
  joined("A", "x");
  fillTo(kTargetBytes * 2 / 3);
  joined("B", "y");
  fillTo(kTargetBytes);
  std::fprintf(stderr, "natjoin_gen: %llu relations outside the join\n",
               static_cast<unsigned long long>(fillers));
  return kJoinTuples;
}

struct Workload {
  const char* name;
  std::uint64_t (*write)(Writer&);
};

constexpr Workload kWorkloads[] = {
    {"key2", key2},     {"chain3", chain3},     {"star4", star4},
    {"cross2", cross2}, {"deadend3", deadend3}, {"wide-echo", wideEcho},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: natjoin_gen WORKLOAD FILE [CSVDIR]\nworkloads:");
    for (const Workload& workload : kWorkloads) std::fprintf(stderr, " %s", workload.name);
    std::fprintf(stderr, "\n");
    return 2;
  }
  const std::string_view name = argv[1];
  for (const Workload& workload : kWorkloads) {
    if (name != workload.name) continue;
    Writer out(argv[2], argc == 4 ? argv[3] : "");
    const std::uint64_t rows = workload.write(out);
    out.close();
    std::printf("%llu\n", static_cast<unsigned long long>(rows));
    return 0;
  }
  die("unknown workload " + std::string(name));
}
