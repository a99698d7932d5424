// Compares the fast join with the plain nested loop on arbitrary databases.
//
// Planning and the engine both replace a simple algorithm by a faster one:
// selectOperands and findJoinConditions hash names, and writeJoinResult
// prunes tuples and probes hash indexes instead of visiting every
// combination. Here each is checked against the simple form on the same
// input: the linear search and the quadratic name comparison for planning,
// and the nested loop of tests/reference_join for the result section, which
// must match byte for byte. The nested loop is only run where it is cheap.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "join/engine.h"
#include "join/planning.h"
#include "reader/database_file.h"
#include "reference_join.h"
#include "string_sink.h"

namespace natjoin {
namespace {

// Bounds on the nested loop's work: combinations, and condition tests.
constexpr std::size_t kMaxCombinations = 20'000;
constexpr std::size_t kMaxConditionTests = 4'000'000;
// Bound on the attribute name pairs the quadratic planning compares.
constexpr std::size_t kMaxNamePairs = 4'000'000;

Operands simpleOperands(const JoinList& joinList, const Relations& relations) {
  Operands operands;
  for (const std::string& name : joinList) {
    for (const Relation& relation : relations) {
      if (relation.name() == name) {
        operands.push_back(&relation);
        break;
      }
    }
  }
  return operands;
}

std::size_t namePairs(const Operands& operands) {
  std::size_t attributes = 0;
  for (const Relation* operand : operands) attributes += operand->attributes().size();
  return attributes * attributes;
}

void simpleConditions(const Operands& operands, std::vector<JoinCondition>& conditions,
                      HiddenColumns& hiddenColumns) {
  for (const Relation* operand : operands)
    hiddenColumns.emplace_back(operand->attributes().size(), false);
  for (std::uint32_t left = 0; left < operands.size(); ++left) {
    for (std::uint32_t right = left + 1; right < operands.size(); ++right) {
      const std::vector<std::string_view> leftNames(operands[left]->attributes().begin(),
                                                    operands[left]->attributes().end());
      const std::vector<std::string_view> rightNames(operands[right]->attributes().begin(),
                                                     operands[right]->attributes().end());
      for (std::uint32_t leftAttr = 0; leftAttr < leftNames.size(); ++leftAttr) {
        for (std::uint32_t rightAttr = 0; rightAttr < rightNames.size(); ++rightAttr) {
          if (leftNames[leftAttr] != rightNames[rightAttr]) continue;
          conditions.push_back({left, leftAttr, right, rightAttr});
          hiddenColumns[right][rightAttr] = true;
        }
      }
    }
  }
}

// The product of the operands' tuple counts, saturated just above `cap`.
std::size_t combinations(const Operands& operands, std::size_t cap) {
  std::size_t product = 1;
  for (const Relation* operand : operands) {
    const std::size_t count = operand->tupleCount();
    if (count == 0) return 0;
    if (product > cap / count) return cap + 1;
    product *= count;
  }
  return product;
}

}  // namespace
}  // namespace natjoin

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace natjoin;
  Database db;
  readDatabaseText(std::string_view(reinterpret_cast<const char*>(data), size), db);

  Operands operands;
  selectOperands(db.joinList, db.relations, operands);
  NATJOIN_FUZZ_CHECK(operands == simpleOperands(db.joinList, db.relations));

  std::vector<JoinCondition> conditions;
  HiddenColumns hiddenColumns;
  findJoinConditions(operands, conditions, hiddenColumns);
  if (namePairs(operands) <= kMaxNamePairs) {
    std::vector<JoinCondition> expectedConditions;
    HiddenColumns expectedHidden;
    simpleConditions(operands, expectedConditions, expectedHidden);
    NATJOIN_FUZZ_CHECK(conditions == expectedConditions);
    NATJOIN_FUZZ_CHECK(hiddenColumns == expectedHidden);
  }

  const std::size_t combinationCount = combinations(operands, kMaxCombinations);
  if (combinationCount > kMaxCombinations ||
      combinationCount * (conditions.size() + 1) > kMaxConditionTests) {
    return 0;
  }
  // A small buffer on odd sizes, so that rows also cross block boundaries.
  const std::size_t capacity = size % 2 == 1 ? 1 + size % 61 : OutputWriter::kDefaultCapacity;
  test::StringSink sink;
  {
    OutputWriter out(sink, capacity);
    writeJoinResult(out, operands, conditions, hiddenColumns);
    out.flush();
    NATJOIN_FUZZ_CHECK(!out.failed());
  }
  NATJOIN_FUZZ_CHECK(sink.text() == test::referenceJoinResult(operands, conditions, hiddenColumns));
  return 0;
}
