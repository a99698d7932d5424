#include "join/engine.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "join/classes.h"
#include "join/columns.h"
#include "join/enumerate.h"
#include "join/join_tree.h"
#include "join/levels.h"
#include "join/reduce.h"
#include "join/rows.h"
#include "join/suffix.h"

namespace natjoin {
namespace {

void runJoin(OutputWriter& out, const Operands& operands, const JoinClasses& classes,
             const HiddenColumns& hiddenColumns, JoinStats& stats, unsigned threads,
             Enumeration enumeration, ReadAhead readAhead) {
  const std::size_t count = operands.size();
  if (count == 0) return;
  for (const Relation* operand : operands) {
    if (operand->tupleCount() == 0) return;
    // Tuples are numbered in 32 bits; more would not fit in memory anyway.
    if (operand->tupleCount() >= UINT32_MAX) throw std::bad_alloc();
  }
  if (threads == 0) threads = threadCount();
  EncodedJoin encoded = encodeOperands(operands, classes, hiddenColumns, hashText, threads);
  for (std::size_t operandIdx = 1; operandIdx < count; ++operandIdx) {
    if (encoded.operands[operandIdx].alive.empty()) return;
  }
  // With two operands each tuple of the first probes the second once, so
  // the enumeration alone costs input plus output.
  OuterFilter outerFilter;
  bool exactlyReduced = true;  // only tuples in some row are alive
  if (count > 2) {
    std::vector<std::uint32_t> all(count);
    for (std::uint32_t operandIdx = 0; operandIdx < count; ++operandIdx) {
      all[operandIdx] = operandIdx;
    }
    const JoinForest forest = buildJoinForest(all, classes, [](std::uint32_t) { return true; });
    if (!reduceOperands(encoded, classes, forest, stats)) return;
    outerFilter = filterForOuter(encoded, classes, forest);
    exactlyReduced = forest.acyclic;
  }

  // No tuple is removed from here on.
  for (std::size_t operandIdx = 1; operandIdx < count; ++operandIdx) {
    compactOperand(encoded.operands[operandIdx]);
  }
  IndexCache indexes(encoded);
  const JoinPlan plan = planLevels(classes);
  carryPruningKeys(plan, indexes);
  const SuffixPlan suffix = enumeration == Enumeration::kSuffixes
                                ? planSuffix(classes, encoded, exactlyReduced)
                                : SuffixPlan();
  carrySuffixKeys(suffix, indexes);
  enumerateRows(out,
                {operands, classes, hiddenColumns, encoded, outerFilter, indexes, plan, suffix,
                 readAhead == ReadAhead::kAlways},
                threads, stats);
}

}  // namespace

void writeJoinResult(OutputWriter& out, const Operands& operands,
                     const std::vector<JoinCondition>& /*conditions*/,
                     const HiddenColumns& hiddenColumns) {
  writeHeader(out, operands, hiddenColumns);
  out.flush();
  if (out.failed()) return;
  JoinStats stats;
  runJoin(out, operands, findClasses(operands), hiddenColumns, stats, 0, Enumeration::kSuffixes,
          ReadAhead::kWhereLarge);
}

void writeJoinResult(OutputWriter& out, const Operands& operands, JoinStats* stats,
                     unsigned threads, Enumeration enumeration, ReadAhead readAhead) {
  const JoinClasses classes = findClasses(operands);
  const HiddenColumns hiddenColumns = hiddenColumnsOf(operands, classes);
  writeHeader(out, operands, hiddenColumns);
  out.flush();
  if (out.failed()) return;
  JoinStats local;
  runJoin(out, operands, classes, hiddenColumns, stats != nullptr ? *stats : local, threads,
          enumeration, readAhead);
}

}  // namespace natjoin
