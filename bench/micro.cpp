// natjoin_micro: throughput of the reader and of the join engine, measured
// in memory so that file and disk costs stay out of the numbers.
//
// Each benchmark checks its own answer (tuples read, rows written) and stops
// with an error if it is wrong.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "join/engine.h"
#include "join/planning.h"
#include "reader/database_file.h"
#include "reader/reader.h"
#include "string_sink.h"
#include "synthetic.h"

namespace {

using natjoin::bench::appendKey;
using natjoin::bench::appendWord;
using natjoin::bench::SplitMix64;

std::vector<std::uint64_t> permutation(std::uint64_t n, SplitMix64& rng) {
  std::vector<std::uint64_t> values(n);
  for (std::uint64_t i = 0; i < n; ++i) values[i] = i;
  for (std::uint64_t i = n; i > 1; --i) std::swap(values[i - 1], values[rng.below(i)]);
  return values;
}

// Takes the bytes and forgets them.
class DiscardSink : public natjoin::Sink {
 public:
  bool write(const char*, std::size_t size) override {
    bytes_ += size;
    return true;
  }
  std::size_t bytes() const { return bytes_; }

 private:
  std::size_t bytes_ = 0;
};

// ---- reader -----------------------------------------------------------------

struct ReaderInput {
  std::string text;
  std::size_t relations = 0;
  std::size_t tuples = 0;
};

// About 50 MB of relations with 2 to 4 columns of short values.
const ReaderInput& readerInput() {
  static const ReaderInput input = [] {
    constexpr std::size_t kTargetBytes = 50'000'000;
    ReaderInput made;
    SplitMix64 rng(0x72656164'00000001ULL);
    made.text = "join(E1, E2)\n";
    while (made.text.size() < kTargetBytes) {
      const std::uint64_t columns = 2 + rng.below(3);
      const std::uint64_t tuples = 500 + rng.below(20'000);
      made.text += "\nE";
      made.text += std::to_string(++made.relations);
      made.text += '(';
      for (std::uint64_t c = 1; c <= columns; ++c) {
        if (c > 1) made.text += ", ";
        made.text += 'c';
        made.text += std::to_string(c);
      }
      made.text += ")\n";
      for (std::uint64_t i = 0; i < tuples; ++i) {
        for (std::uint64_t c = 0; c < columns; ++c) {
          if (c > 0) made.text += ',';
          appendWord(made.text, rng);
        }
        made.text += '\n';
      }
      made.tuples += tuples;
    }
    return made;
  }();
  return input;
}

void BM_ReadDatabase(benchmark::State& state) {
  const ReaderInput& input = readerInput();
  for (auto _ : state) {
    // The reader works in place, so each pass needs a fresh copy; copying and
    // freeing are left out of the time.
    state.PauseTiming();
    auto db = std::make_unique<natjoin::Database>();
    db->text = natjoin::Buffer::copyOf(input.text);
    state.ResumeTiming();

    natjoin::readDatabase(db->text.bytes(), db->joinList, db->relations);
    benchmark::DoNotOptimize(db->relations.size());

    state.PauseTiming();
    std::size_t tuples = 0;
    for (const auto& relation : db->relations) tuples += relation.tupleCount();
    if (db->relations.size() != input.relations || tuples != input.tuples) {
      state.SkipWithError("the reader found the wrong number of relations or tuples");
    }
    db.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.text.size()));
}
BENCHMARK(BM_ReadDatabase)->Unit(benchmark::kMillisecond);

// ---- engine -----------------------------------------------------------------

// A database read once, with its join planned, and the number of rows the
// join must give.
struct JoinInput {
  natjoin::Database db;
  natjoin::Operands operands;
  std::vector<natjoin::JoinCondition> conditions;
  natjoin::HiddenColumns hiddenColumns;
  std::size_t rows = 0;

  void plan(const std::string& text, std::size_t expectedRows) {
    natjoin::readDatabaseText(text, db);
    natjoin::selectOperands(db.joinList, db.relations, operands);
    natjoin::findJoinConditions(operands, conditions, hiddenColumns);
    rows = expectedRows;
  }
};

// R(k, a) and S(k, b) over the same 200,000 distinct keys: one row per key.
const JoinInput& keyJoinInput() {
  static const std::unique_ptr<JoinInput> input = [] {
    constexpr std::uint64_t kTuples = 200'000;
    SplitMix64 rng(0x6b65796a'00000002ULL);
    std::string text = "join(R, S)\n";
    for (const char* header : {"\nR(k, a)\n", "\nS(k, b)\n"}) {
      text += header;
      for (std::uint64_t key : permutation(kTuples, rng)) {
        appendKey(text, key);
        text += ',';
        appendWord(text, rng);
        text += '\n';
      }
    }
    auto made = std::make_unique<JoinInput>();
    made->plan(text, kTuples);
    return made;
  }();
  return *input;
}

// R(a) x S(b), 500 tuples each.
const JoinInput& crossInput() {
  static const std::unique_ptr<JoinInput> input = [] {
    constexpr std::uint64_t kTuples = 500;
    SplitMix64 rng(0x63726f73'00000003ULL);
    std::string text = "join(R, S)\n";
    for (const char* header : {"\nR(a)\n", "\nS(b)\n"}) {
      text += header;
      for (std::uint64_t i = 0; i < kTuples; ++i) {
        appendWord(text, rng);
        text += '\n';
      }
    }
    auto made = std::make_unique<JoinInput>();
    made->plan(text, kTuples * kTuples);
    return made;
  }();
  return *input;
}

// The number of lines after the "result(" line of a result section.
std::size_t resultRows(const std::string& text) {
  const std::size_t header = text.find("result(");
  if (header == std::string::npos) return static_cast<std::size_t>(-1);
  const std::size_t body = text.find('\n', header);
  if (body == std::string::npos) return 0;
  std::size_t rows = 0;
  for (std::size_t i = body + 1; i < text.size(); ++i) rows += text[i] == '\n' ? 1 : 0;
  return rows;
}

void runJoin(benchmark::State& state, const JoinInput& input) {
  {
    natjoin::test::StringSink sink;
    natjoin::OutputWriter out(sink);
    natjoin::writeJoinResult(out, input.operands, input.conditions, input.hiddenColumns);
    out.flush();
    if (resultRows(sink.text()) != input.rows) {
      state.SkipWithError("the join wrote the wrong number of rows");
      return;
    }
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    DiscardSink sink;
    natjoin::OutputWriter out(sink);
    natjoin::writeJoinResult(out, input.operands, input.conditions, input.hiddenColumns);
    out.flush();
    bytes = sink.bytes();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.rows));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes));
}

void BM_KeyJoin(benchmark::State& state) { runJoin(state, keyJoinInput()); }
BENCHMARK(BM_KeyJoin)->Unit(benchmark::kMillisecond);

void BM_CrossProduct(benchmark::State& state) { runJoin(state, crossInput()); }
BENCHMARK(BM_CrossProduct)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
