// Runs the whole in-memory pipeline (reader, echo, planning, join, writer) on
// arbitrary bytes and checks what holds for every database:
// - the reader stores what the plain scan of fuzz/reference_reader stores;
// - the output starts with the echo of what the reader stored, and the result
//   section after it has its header and whole rows only;
// - the writer's buffer size changes nothing but where the blocks are cut;
// - the output never passes the sink's limit, and after the first refused
//   write nothing more reaches the sink.
//
// The sink refuses output beyond a few megabytes, which is how a generated
// cross product of billions of rows ends quickly: like a failed write to a
// full disk, the refusal must stop the run at once. An input where it does
// not shows up as a libFuzzer timeout.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"
#include "fuzz_check.h"
#include "model/relation.h"
#include "reader/database_file.h"
#include "reference_reader.h"
#include "string_sink.h"

namespace natjoin {
namespace {

constexpr std::size_t kOutputLimit = std::size_t{4} << 20;
// Small writer buffers make every row cross block boundaries.
constexpr std::size_t kMaxSmallCapacity = 256;

// A limited StringSink that also checks that the writer stops using it after
// the first refusal.
class CheckedSink : public Sink {
 public:
  explicit CheckedSink(std::size_t limit) : inner_(limit), limit_(limit) {}

  bool write(const char* data, std::size_t size) override {
    NATJOIN_FUZZ_CHECK(!refused_);
    if (!inner_.write(data, size)) {
      refused_ = true;
      return false;
    }
    NATJOIN_FUZZ_CHECK(inner_.text().size() <= limit_);
    return true;
  }
  const std::string& text() const { return inner_.text(); }
  bool refused() const { return refused_; }

 private:
  test::StringSink inner_;
  std::size_t limit_;
  bool refused_ = false;
};

struct RunOutcome {
  std::string text;
  bool ok;
};

RunOutcome runPipeline(const Database& db, std::size_t capacity, std::size_t limit) {
  CheckedSink sink(limit);
  bool ok = false;
  {
    OutputWriter out(sink, capacity);
    ok = writeSections(out, db.joinList, db.relations);
    NATJOIN_FUZZ_CHECK(out.failed() == !ok);
  }
  NATJOIN_FUZZ_CHECK(sink.refused() == !ok);
  return {sink.text(), ok};
}

std::vector<std::string_view> valuesOf(TupleView tuple) {
  std::vector<std::string_view> values;
  tuple.forEachValue([&](std::size_t, std::string_view value) { values.push_back(value); });
  return values;
}

// The echo built from the stored database by the rules of the output format,
// value by value, independently of the stored tuple text the echo copies.
std::string expectedEcho(const Database& db) {
  std::string echo = "join(";
  for (std::size_t nameIdx = 0; nameIdx < db.joinList.size(); ++nameIdx) {
    echo += db.joinList[nameIdx];
    echo += nameIdx + 1 == db.joinList.size() ? ")\n" : ",";
  }
  for (const Relation& relation : db.relations) {
    echo += '\n';
    echo += relation.name();
    echo += '(';
    std::size_t attrIdx = 0;
    const std::size_t width = relation.attributes().size();
    for (const std::string_view attribute : relation.attributes()) {
      echo += attribute;
      echo += ++attrIdx == width ? ")\n" : ", ";
    }
    for (std::size_t tupleIdx = 0; tupleIdx < relation.tupleCount(); ++tupleIdx) {
      const auto values = valuesOf(relation.tuple(tupleIdx));
      for (std::size_t valueIdx = 0; valueIdx < values.size(); ++valueIdx) {
        echo += values[valueIdx];
        echo += valueIdx + 1 == values.size() ? "\n" : ",";
      }
    }
  }
  return echo;
}

// The reader must store what the plain scan of the file format stores.
void checkAgainstReferenceReader(const Database& db, std::string_view text) {
  const test::ReferenceDatabase expected = test::referenceReadDatabase(text);
  if (!expected.endedInJoinSection) NATJOIN_FUZZ_CHECK(db.joinList == expected.joinList);
  NATJOIN_FUZZ_CHECK(db.relations.size() == expected.relations.size());
  for (std::size_t relationIdx = 0; relationIdx < db.relations.size(); ++relationIdx) {
    const Relation& relation = db.relations[relationIdx];
    const test::ReferenceRelation& want = expected.relations[relationIdx];
    NATJOIN_FUZZ_CHECK(relation.name() == want.name);
    NATJOIN_FUZZ_CHECK(std::equal(relation.attributes().begin(), relation.attributes().end(),
                                  want.attributes.begin(), want.attributes.end()));
    NATJOIN_FUZZ_CHECK(relation.tupleCount() == want.tuples.size());
    for (std::size_t tupleIdx = 0; tupleIdx < relation.tupleCount(); ++tupleIdx) {
      const TupleView tuple = relation.tuple(tupleIdx);
      const auto values = valuesOf(tuple);
      NATJOIN_FUZZ_CHECK(tuple.hasValues() == !want.tuples[tupleIdx].empty());
      NATJOIN_FUZZ_CHECK(tuple.size() == values.size());
      NATJOIN_FUZZ_CHECK(std::equal(values.begin(), values.end(), want.tuples[tupleIdx].begin(),
                                    want.tuples[tupleIdx].end()));
    }
  }
}

// The number of rows the join can have at most: the product of the operands'
// tuple counts, saturated at `cap`.
std::size_t maxRows(const Database& db, std::size_t cap) {
  std::size_t product = 1;
  bool anyOperand = false;
  for (const std::string& name : db.joinList) {
    const auto found =
        std::find_if(db.relations.begin(), db.relations.end(),
                     [&](const Relation& relation) { return relation.name() == name; });
    if (found == db.relations.end()) continue;
    anyOperand = true;
    const std::size_t count = found->tupleCount();
    if (count == 0) return 0;
    product = product > cap / count ? cap : std::min(cap, product * count);
  }
  return anyOperand ? product : 0;
}

void checkResultSection(const Database& db, std::string_view result) {
  constexpr std::string_view kHeaderStart = "\nresult(";
  NATJOIN_FUZZ_CHECK(result.starts_with(kHeaderStart));
  // Attribute names may hold ")" but never a line feed; the header ends at
  // the first one.
  const std::size_t headerEnd = result.find('\n', kHeaderStart.size());
  NATJOIN_FUZZ_CHECK(headerEnd != std::string_view::npos);
  NATJOIN_FUZZ_CHECK(result[headerEnd - 1] == ')');
  const std::string_view rows = result.substr(headerEnd + 1);
  NATJOIN_FUZZ_CHECK(rows.empty() || rows.back() == '\n');
  const auto rowCount = static_cast<std::size_t>(std::count(rows.begin(), rows.end(), '\n'));
  NATJOIN_FUZZ_CHECK(rowCount <= maxRows(db, kOutputLimit));
}

}  // namespace
}  // namespace natjoin

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace natjoin;
  Database db;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  readDatabaseText(text, db);
  checkAgainstReferenceReader(db, text);

  const RunOutcome full = runPipeline(db, OutputWriter::kDefaultCapacity, kOutputLimit);
  const std::string echo = expectedEcho(db);
  const std::size_t common = std::min(echo.size(), full.text.size());
  NATJOIN_FUZZ_CHECK(std::string_view(full.text).substr(0, common) ==
                     std::string_view(echo).substr(0, common));
  if (full.ok) {
    NATJOIN_FUZZ_CHECK(full.text.size() > echo.size());
    checkResultSection(db, std::string_view(full.text).substr(echo.size()));
  }

  // The same run through a small buffer, and sometimes with a limit inside
  // the output, so that writes fail at every stage. Both runs send the same
  // bytes, so one fails exactly when the whole output passes its limit, and
  // what reaches the sink is always a prefix of the whole output.
  std::uint32_t hash = 2166136261u;
  for (std::size_t byteIdx = 0; byteIdx < size; ++byteIdx)
    hash = (hash ^ data[byteIdx]) * 16777619u;
  const std::size_t capacity = 1 + hash % kMaxSmallCapacity;
  const std::size_t limit =
      full.ok && (hash & 0x100000u) != 0 ? (hash >> 8) % (full.text.size() + 1) : kOutputLimit;
  const RunOutcome small = runPipeline(db, capacity, limit);
  if (full.ok) {
    NATJOIN_FUZZ_CHECK(small.ok == (full.text.size() <= limit));
    if (small.ok) NATJOIN_FUZZ_CHECK(small.text == full.text);
    NATJOIN_FUZZ_CHECK(full.text.starts_with(small.text));
  } else {
    NATJOIN_FUZZ_CHECK(!small.ok);
    const std::string& shorter = small.text.size() < full.text.size() ? small.text : full.text;
    const std::string& longer = small.text.size() < full.text.size() ? full.text : small.text;
    NATJOIN_FUZZ_CHECK(longer.starts_with(shorter));
  }
  return 0;
}
