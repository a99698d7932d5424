#include "join/engine.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "join/classes.h"
#include "join/columns.h"
#include "join/join_tree.h"
#include "join/levels.h"
#include "join/reduce.h"
#include "join/rows.h"

namespace natjoin {
namespace {

// How many enumeration steps pass between two looks at the clock.
constexpr std::uint32_t kPollSteps = 1024;

void runJoin(OutputWriter& out, const Operands& operands, const HiddenColumns& hiddenColumns,
             JoinStats& stats) {
  const std::size_t count = operands.size();
  if (count == 0) return;
  for (const Relation* operand : operands) {
    if (operand->tupleCount() == 0) return;
    // Tuples are numbered in 32 bits; more would not fit in memory anyway.
    if (operand->tupleCount() >= UINT32_MAX) throw std::bad_alloc();
  }
  const JoinClasses classes = findClasses(operands);
  EncodedJoin encoded = encodeOperands(operands, classes);
  for (const EncodedOperand& operand : encoded.operands) {
    if (operand.alive.empty()) return;
  }
  std::vector<std::uint32_t> all(count);
  for (std::uint32_t operandIdx = 0; operandIdx < count; ++operandIdx) all[operandIdx] = operandIdx;
  const JoinForest forest = buildJoinForest(all, classes, [](std::uint32_t) { return true; });
  // With two operands each tuple of the first probes the second once, so
  // the enumeration alone costs input plus output.
  if (count > 2 && !reduceOperands(encoded, classes, forest, stats)) return;

  IndexCache indexes(encoded);
  std::vector<Level> levels = planLevels(classes, encoded, indexes);
  RowWriter rows(out, operands, hiddenColumns);

  // Depth first, candidates in ascending tuple order: the rows come out in
  // the order of the nested loop.
  std::vector<std::uint32_t> chosen(count, 0);
  std::vector<std::span<const std::uint32_t>> pending(count);
  pending[0] = encoded.operands[0].alive;
  const std::size_t outerCount = pending[0].size();
  std::size_t level = 0;
  std::uint32_t steps = 0;
  for (;;) {
    if (++steps == kPollSteps) {
      steps = 0;
      out.poll();
      if (out.failed()) return;
    }
    if (pending[level].empty()) {
      if (level == 0) return;
      --level;
      continue;
    }
    if (level == 0) {
      out.setOuterProgress(outerCount - pending[0].size(), outerCount);
    }
    chosen[level] = pending[level].front();
    pending[level] = pending[level].subspan(1);
    ++stats.candidateVisits;
    if (level + 1 == count) {
      rows.writeRow(chosen[level]);
      ++stats.rows;
      if (out.failed()) return;
      continue;
    }
    rows.choose(level, chosen[level]);
    ++level;
    pending[level] = findCandidates(levels[level], encoded, indexes, chosen, stats);
  }
}

}  // namespace

void writeJoinResult(OutputWriter& out, const Operands& operands,
                     const std::vector<JoinCondition>& /*conditions*/,
                     const HiddenColumns& hiddenColumns) {
  writeHeader(out, operands, hiddenColumns);
  out.flush();
  if (out.failed()) return;
  JoinStats stats;
  runJoin(out, operands, hiddenColumns, stats);
}

void writeJoinResult(OutputWriter& out, const Operands& operands, JoinStats* stats) {
  const HiddenColumns hiddenColumns = hiddenColumnsOf(operands, findClasses(operands));
  writeHeader(out, operands, hiddenColumns);
  out.flush();
  if (out.failed()) return;
  JoinStats local;
  runJoin(out, operands, hiddenColumns, stats != nullptr ? *stats : local);
}

}  // namespace natjoin
