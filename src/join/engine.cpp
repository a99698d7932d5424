#include "join/engine.h"

#include <algorithm>
#include <cstdint>
#include <functional>
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

// Writes the header, once the join is prepared and the output is free; says
// whether the rows may follow.
class ResultStart {
 public:
  ResultStart(OutputWriter& out, const Operands& operands, const HiddenColumns& hiddenColumns,
              const OutputReady& outputReady)
      : out_(out), operands_(operands), hiddenColumns_(hiddenColumns), outputReady_(outputReady) {}

  bool operator()() const {
    if (outputReady_ && !outputReady_()) return false;
    writeHeader(out_, operands_, hiddenColumns_);
    out_.flush();
    return !out_.failed();
  }

 private:
  OutputWriter& out_;
  const Operands& operands_;
  const HiddenColumns& hiddenColumns_;
  const OutputReady& outputReady_;
};

void runJoin(OutputWriter& out, const Operands& operands, const JoinClasses& classes,
             const HiddenColumns& hiddenColumns, JoinStats& stats, unsigned threads,
             Enumeration enumeration, ReadAhead readAhead, const OutputReady& outputReady) {
  const ResultStart start(out, operands, hiddenColumns, outputReady);
  const std::size_t count = operands.size();
  if (count == 0) {
    start();
    return;
  }
  for (const Relation* operand : operands) {
    if (operand->tupleCount() == 0) {
      start();
      return;
    }
    // Tuples are numbered in 32 bits; more would not fit in memory anyway.
    if (operand->tupleCount() >= UINT32_MAX) throw std::bad_alloc();
  }
  if (threads == 0) threads = threadCount();
  EncodedJoin encoded = encodeOperands(operands, classes, hiddenColumns, hashText, threads);
  for (std::size_t operandIdx = 1; operandIdx < count; ++operandIdx) {
    if (encoded.operands[operandIdx].alive.empty()) {
      start();
      return;
    }
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
    if (!reduceOperands(encoded, classes, forest, stats)) {
      start();
      return;
    }
    outerFilter = filterForOuter(encoded, classes, forest);
    exactlyReduced = forest.acyclic;
  }

  // No tuple is removed from here on.
  for (std::size_t operandIdx = 1; operandIdx < count; ++operandIdx) {
    compactOperand(encoded.operands[operandIdx]);
  }
  IndexCache indexes(encoded, threads);
  const JoinPlan plan = planLevels(classes);
  carryPruningKeys(plan, indexes);
  const SuffixPlan suffix = enumeration == Enumeration::kSuffixes
                                ? planSuffix(classes, encoded, exactlyReduced)
                                : SuffixPlan();
  carrySuffixKeys(suffix, indexes);
  if (!start()) return;
  enumerateRows(out,
                {operands, classes, hiddenColumns, encoded, outerFilter, indexes, plan, suffix,
                 readAhead == ReadAhead::kAlways},
                threads, stats);
}

}  // namespace

void writeJoinResult(OutputWriter& out, const Operands& operands,
                     const std::vector<JoinCondition>& /*conditions*/,
                     const HiddenColumns& hiddenColumns) {
  JoinStats stats;
  runJoin(out, operands, findClasses(operands), hiddenColumns, stats, 0, Enumeration::kSuffixes,
          ReadAhead::kWhereLarge, nullptr);
}

void writeJoinResult(OutputWriter& out, const Operands& operands, const OutputReady& outputReady) {
  const JoinClasses classes = findClasses(operands);
  const HiddenColumns hiddenColumns = hiddenColumnsOf(operands, classes);
  JoinStats stats;
  runJoin(out, operands, classes, hiddenColumns, stats, 0, Enumeration::kSuffixes,
          ReadAhead::kWhereLarge, outputReady);
}

void writeJoinResult(OutputWriter& out, const Operands& operands, JoinStats* stats,
                     unsigned threads, Enumeration enumeration, ReadAhead readAhead) {
  const JoinClasses classes = findClasses(operands);
  const HiddenColumns hiddenColumns = hiddenColumnsOf(operands, classes);
  JoinStats local;
  runJoin(out, operands, classes, hiddenColumns, stats != nullptr ? *stats : local, threads,
          enumeration, readAhead, nullptr);
}

}  // namespace natjoin
