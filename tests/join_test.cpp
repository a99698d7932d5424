// The join engine against the plain nested loop, on many generated databases,
// and the cases where the engine's shortcuts matter.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "join/engine.h"
#include "join/planning.h"
#include "reference_join.h"
#include "string_sink.h"
#include "test_util.h"

namespace natjoin {
namespace {

using test::numbered;
using test::Rng;

struct Shape {
  std::size_t maxRelations;
  std::size_t maxAttributes;
  std::size_t maxTuples;
  std::size_t maxJoinNames;
  std::size_t valueDomain;  // distinct values; small makes many matches
  std::size_t maxCombinations;
};

struct Generated {
  JoinList joinList;
  test::RelationMaker maker;  // the relations' text
  Relations relations;
};

// Relation and attribute names come from small sets so that they collide:
// repeated relation names, self-joins, names shared by several operands and
// repeated within one relation. Tuples are often shorter or longer than the
// attribute list, empty relations and empty values are common.
Generated generate(Rng& rng, const Shape& shape) {
  static const char* const kRelationNames[] = {"R", "S", "T", "U"};
  static const char* const kAttributeNames[] = {"a", "b", "c", "d", ""};
  Generated db;
  const std::size_t relationCount = 1 + rng.below(shape.maxRelations);
  for (std::size_t r = 0; r < relationCount; ++r) {
    Relation& relation = db.maker.add(db.relations, kRelationNames[rng.below(4)]);
    const std::size_t attributes = rng.below(shape.maxAttributes + 1);
    for (std::size_t a = 0; a < attributes; ++a) {
      db.maker.addAttribute(relation, kAttributeNames[rng.below(rng.below(8) == 0 ? 5 : 4)]);
    }
    std::vector<test::Tuple> stored;
    const std::size_t tuples = rng.below(8) == 0 ? 0 : 1 + rng.below(shape.maxTuples);
    for (std::size_t t = 0; t < tuples; ++t) {
      std::size_t length = attributes;
      const std::size_t odd = rng.below(10);
      if (odd == 0 && length > 0) length -= 1 + rng.below(length);
      if (odd == 1) length += 1 + rng.below(2);
      test::Tuple tuple;
      for (std::size_t v = 0; v < length; ++v) {
        const std::size_t value = rng.below(shape.valueDomain + 1);
        // Some values are long, so that rows of every length up to about
        // a hundred bytes are written.
        std::string text = value == shape.valueDomain ? "" : numbered("v", value);
        if (value % 3 == 1) text.append(value * 7 % 41, 'x');
        tuple.push_back(std::move(text));
      }
      stored.push_back(std::move(tuple));
    }
    db.maker.setTuples(relation, stored);
  }
  // Mostly names of relations that exist; sometimes none, or one that doesn't.
  const std::size_t joinNames = rng.below(20) == 0 ? 0 : 1 + rng.below(shape.maxJoinNames);
  for (std::size_t n = 0; n < joinNames; ++n) {
    db.joinList.emplace_back(rng.below(12) == 0 ? std::string_view("V")
                                                : db.relations[rng.below(relationCount)].name());
  }
  return db;
}

std::size_t combinations(const Operands& operands) {
  std::size_t product = 1;
  for (const Relation* operand : operands) {
    product *= std::max<std::size_t>(operand->tupleCount(), 1);
    if (product > (std::size_t{1} << 40)) return product;
  }
  return product;
}

std::string engineResult(const Operands& operands, const std::vector<JoinCondition>& conditions,
                         const HiddenColumns& hidden) {
  test::StringSink sink;
  OutputWriter out(sink);
  writeJoinResult(out, operands, conditions, hidden);
  out.flush();
  return sink.text();
}

void compareOnGenerated(std::uint64_t seed, const Shape& shape, int databases) {
  Rng rng(seed);
  int compared = 0;
  std::size_t rowsSeen = 0;
  while (compared < databases) {
    const Generated db = generate(rng, shape);
    Operands operands;
    selectOperands(db.joinList, db.relations, operands);
    if (combinations(operands) > shape.maxCombinations) continue;
    std::vector<JoinCondition> conditions;
    HiddenColumns hidden;
    findJoinConditions(operands, conditions, hidden);
    const std::string expected = test::referenceJoinResult(operands, conditions, hidden);
    ASSERT_EQ(engineResult(operands, conditions, hidden), expected)
        << "database " << compared << " of seed " << seed << ":\n"
        << test::describe(db.joinList, db.relations);
    rowsSeen += static_cast<std::size_t>(std::count(expected.begin(), expected.end(), '\n')) - 2;
    ++compared;
  }
  // The generator must produce joins with rows, or the comparison proves little.
  EXPECT_GT(rowsSeen, static_cast<std::size_t>(databases));
}

TEST(JoinEngine, MatchesNestedLoopOnSmallDatabases) {
  compareOnGenerated(1, {5, 4, 5, 6, 3, 20000}, test::kInstrumented ? 1500 : 3000);
}

TEST(JoinEngine, MatchesNestedLoopOnManyOperands) {
  compareOnGenerated(2, {6, 3, 3, 9, 2, 50000}, 500);
}

TEST(JoinEngine, MatchesNestedLoopWithManyDanglingTuples) {
  // Larger relations over a wider domain: most tuples find no partner, so
  // the removal of dangling tuples has much to do.
  compareOnGenerated(3, {4, 3, 40, 4, 12, 200000}, 300);
}

struct KeyChain {
  test::RelationMaker maker;  // the relations' text
  Relations relations;
};

KeyChain keyChain(std::size_t size, std::size_t tailMatches) {
  // R(a,b) and S(b,c) share one b value everywhere, so R ⋈ S alone has
  // size² pairs; T(c,d) matches only `tailMatches` of S's c values.
  std::vector<test::Tuple> r, s, t;
  for (std::size_t i = 0; i < size; ++i) {
    r.push_back({numbered("r", i), "k"});
    s.push_back({"k", numbered("s", i)});
    t.push_back({i < tailMatches ? numbered("s", i) : "none", numbered("t", i)});
  }
  KeyChain chain;
  chain.maker.add(chain.relations, "R", {"a", "b"}, r);
  chain.maker.add(chain.relations, "S", {"b", "c"}, s);
  chain.maker.add(chain.relations, "T", {"c", "d"}, t);
  return chain;
}

TEST(JoinEngine, DeadEndJoinCostsAboutTheInput) {
  // 4·10⁸ pairs of R and S that T rejects: the dangling tuples are removed
  // first, so the work stays near the 60,000 tuples read.
  const KeyChain chain = keyChain(20000, 0);
  Operands operands;
  selectOperands({"R", "S", "T"}, chain.relations, operands);
  test::StringSink sink;
  OutputWriter out(sink);
  JoinStats stats;
  writeJoinResult(out, operands, &stats);
  out.flush();
  EXPECT_EQ(sink.text(), "\nresult(a,b,c,d)\n");
  EXPECT_LT(stats.total(), 10u * 60000u);
}

TEST(JoinEngine, StopsAtOnceWhenAWriteFails) {
  // Into a sink that fails after 64 KiB: a cross product of 9·10⁶ rows found
  // level by level, and a star of 2.5·10⁶ rows whose 2,500 rows per outer
  // tuple are found at once. Only the rows of a few chunks are made.
  const KeyChain chain = keyChain(3000, 0);
  test::RelationMaker maker;
  Relations star;
  std::vector<test::Tuple> a, b, c;
  for (std::size_t at = 0; at < 1000; ++at) a.push_back({numbered("k", at % 10)});
  for (std::size_t at = 0; at < 500; ++at) {
    b.push_back({numbered("k", at % 10), numbered("b", at)});
    c.push_back({numbered("k", at % 10), numbered("c", at)});
  }
  maker.add(star, "A", {"k"}, a);
  maker.add(star, "B", {"k", "b"}, b);
  maker.add(star, "C", {"k", "c"}, c);
  Operands cross, starOperands;
  selectOperands({"R", "T"}, chain.relations, cross);
  selectOperands({"A", "B", "C"}, star, starOperands);
  for (const Operands* operands : {&cross, &starOperands}) {
    for (const unsigned threads : {1u, 2u}) {
      test::StringSink sink(1 << 16);
      OutputWriter out(sink, 1 << 12);
      JoinStats stats;
      writeJoinResult(out, *operands, &stats, threads);
      EXPECT_TRUE(out.failed());
      EXPECT_LE(sink.text().size(), std::size_t{1} << 16);
      EXPECT_LT(stats.rows, 200000u)
          << operands->front()->name() << " first, " << threads << " threads";
    }
  }
}

TEST(JoinEngine, WaitsForTheOutputOnceBeforeWritingAnything) {
  // The driver writes the echo on another thread while the join is
  // prepared: the engine asks once, on every path, before its first byte,
  // and writes nothing where the answer is no.
  test::RelationMaker maker;
  Relations relations;
  maker.add(relations, "R", {"a", "b"}, {{"1", "x"}, {"2", "y"}});
  maker.add(relations, "S", {"b", "c"}, {{"x", "p"}, {"z", "q"}});
  maker.add(relations, "T", {"c"}, {{"q"}});
  maker.add(relations, "E", {"a"}, {});
  const std::vector<std::pair<JoinList, std::string>> cases = {
      {{}, "\nresult()\n"},
      {{"R", "E"}, "\nresult(a,b)\n"},                  // an operand without tuples
      {{"R", "S", "T"}, "\nresult(a,b,c)\n"},           // reduced to nothing
      {{"R", "S"}, "\nresult(a,b,c)\n1,x,p\n"},         // rows
      {{"R", "T"}, "\nresult(a,b,c)\n1,x,q\n2,y,q\n"},  // a cross product
  };
  for (const auto& [joinList, result] : cases) {
    Operands operands;
    selectOperands(joinList, relations, operands);
    for (const bool ready : {true, false}) {
      test::StringSink sink;
      OutputWriter out(sink);
      int asked = 0;
      writeJoinResult(out, operands, [&] {
        ++asked;
        out.flush();
        EXPECT_EQ(sink.text(), "");
        out.write("echo\n");
        return ready;
      });
      out.flush();
      EXPECT_EQ(asked, 1);
      EXPECT_EQ(sink.text(), ready ? "echo\n" + result : "echo\n") << result;
    }
  }
}

// Records when each write reached it.
class TimedSink : public Sink {
 public:
  bool write(const char* data, std::size_t size) override {
    writes.push_back({std::string(data, size), std::chrono::steady_clock::now()});
    return true;
  }
  struct Write {
    std::string bytes;
    std::chrono::steady_clock::time_point at;
  };
  std::vector<Write> writes;
};

TEST(JoinEngine, RowReachesTheFileWhileTheJoinGoesOn) {
  // One triangle first, then a long cycle of tuples that every semi-join
  // keeps (each has partners on both sides) but that closes no triangle:
  // the enumeration works on for a while after the row without writing.
  const int length = 100000;
  std::string r = "\nR(a, b)\nhit,hit\n";
  std::string s = "\nS(b, c)\nhit,hit\n";
  std::string t = "\nT(c, a)\nhit,hit\n";
  for (int i = 0; i < length; ++i) {
    ((((r += 'a') += std::to_string(i)) += ",b") += std::to_string(i)) += '\n';
    ((((s += 'b') += std::to_string(i)) += ",c") += std::to_string(i)) += '\n';
    ((((t += 'c') += std::to_string(i)) += ",a") += std::to_string((i + 1) % length)) += '\n';
  }
  const auto db = test::parse("join(R, S, T)\n" + r + s + t);
  Operands operands;
  selectOperands(db->joinList, db->relations, operands);
  std::vector<JoinCondition> conditions;
  HiddenColumns hidden;
  findJoinConditions(operands, conditions, hidden);

  TimedSink sink;
  OutputWriter out(sink);
  writeJoinResult(out, operands, conditions, hidden);
  const auto end = std::chrono::steady_clock::now();
  out.flush();
  ASSERT_GE(sink.writes.size(), 2u);
  EXPECT_EQ(sink.writes[0].bytes, "\nresult(a,b,c)\n");  // before the enumeration
  EXPECT_EQ(sink.writes[1].bytes, "hit,hit,hit\n");
  EXPECT_GT(end - sink.writes[1].at, std::chrono::milliseconds(5));
}

}  // namespace
}  // namespace natjoin
