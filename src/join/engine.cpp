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

namespace natjoin {
namespace {

// How many enumeration steps pass between two looks at the clock.
constexpr std::uint32_t kPollSteps = 1024;

void writeHeader(OutputWriter& out, const Operands& operands, const HiddenColumns& hiddenColumns) {
  out.write("\nresult(");
  bool written = false;
  for (std::size_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    const auto& attributes = operands[operandIdx]->attributes();
    for (std::size_t attrIdx = 0; attrIdx < attributes.size(); ++attrIdx) {
      if (hiddenColumns[operandIdx][attrIdx]) continue;
      if (written) out.put(',');
      out.write(attributes[attrIdx]);
      written = true;
    }
  }
  out.write(")\n");
}

// Writes rows: the visible values of one chosen tuple per operand.
class RowWriter {
 public:
  RowWriter(OutputWriter& out, const Operands& operands, const HiddenColumns& hidden)
      : out_(out),
        operands_(operands),
        hidden_(hidden),
        hasHidden_(operands.size()),
        pieceText_(operands.size()),
        pieceHasValue_(operands.size(), false),
        pieceStorage_(operands.size()) {
    for (std::size_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
      const auto& bits = hidden[operandIdx];
      hasHidden_[operandIdx] = std::find(bits.begin(), bits.end(), true) != bits.end();
    }
  }

  // Keeps the visible values of `tuple` at outer level `level` ready: a view
  // of the stored tuple when nothing of it is hidden (no copy, however long
  // the tuple), else a string made once per chosen tuple.
  void choose(std::size_t level, std::uint32_t tuple) {
    bool written = false;
    if (hasHidden_[level]) {
      pieceStorage_[level].clear();
      appendVisible(pieceStorage_[level], level, tuple, written);
      pieceText_[level] = pieceStorage_[level];
    } else {
      const TupleView view = operands_[level]->tuple(tuple);
      written = view.hasValues();
      pieceText_[level] = view.text();
    }
    pieceHasValue_[level] = written;
  }

  // Writes the row of the outer levels' chosen tuples and `tuple` at the
  // last level.
  void writeRow(std::uint32_t tuple) {
    const std::size_t last = operands_.size() - 1;
    bool written = false;
    for (std::size_t outer = 0; outer < last; ++outer) {
      if (!pieceHasValue_[outer]) continue;
      if (written) out_.put(',');
      out_.write(pieceText_[outer]);
      written = true;
    }
    appendVisible(out_, last, tuple, written);
    out_.put('\n');
    out_.endRow();
  }

 private:
  static void append(std::string& to, std::string_view text) { to += text; }
  static void append(OutputWriter& to, std::string_view text) { to.write(text); }
  static void append(std::string& to, char c) { to += c; }
  static void append(OutputWriter& to, char c) { to.put(c); }

  // Appends the visible values of `tuple` of `operandIdx`, each after a ","
  // if something was written before it.
  template <typename Target>
  void appendVisible(Target& to, std::size_t operandIdx, std::uint32_t tuple, bool& written) const {
    const TupleView view = operands_[operandIdx]->tuple(tuple);
    if (!view.hasValues()) return;
    if (!hasHidden_[operandIdx]) {
      if (written) append(to, ',');
      append(to, view.text());
      written = true;
      return;
    }
    const auto& bits = hidden_[operandIdx];
    view.forEachValue([&](std::size_t position, std::string_view value) {
      if (position < bits.size() && bits[position]) return;
      if (written) append(to, ',');
      append(to, value);
      written = true;
    });
  }

  OutputWriter& out_;
  const Operands& operands_;
  const HiddenColumns& hidden_;
  std::vector<bool> hasHidden_;
  std::vector<std::string_view> pieceText_;
  std::vector<bool> pieceHasValue_;  // an empty value still counts
  std::vector<std::string> pieceStorage_;
};

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
  if (!reduceOperands(encoded, classes, forest, stats)) return;

  IndexCache indexes(encoded);
  std::vector<Level> levels = planLevels(classes, encoded, indexes);
  RowWriter rows(out, operands, hiddenColumns);

  // Depth first, candidates in ascending tuple order: the rows come out in
  // the order of the nested loop.
  std::vector<std::uint32_t> chosen(count, 0);
  std::vector<std::span<const std::uint32_t>> pending(count);
  pending[0] = encoded.operands[0].alive;
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
