#include "join/engine.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <new>
#include <span>
#include <string_view>

#include "join/key_index.h"

namespace natjoin {
namespace {

// How many enumeration steps pass between two looks at the clock.
constexpr std::uint32_t kPollSteps = 1024;
// Semi-join sweeps over the conditions before enumerating. Two sweeps, one
// each way, clean a chain completely; more help only odd shapes.
constexpr int kMaxReductionRounds = 6;

// Stores the values of `tuple` at `positions` (ascending) in `out`. Returns
// false if the tuple is too short to have them all.
bool extractValues(TupleView tuple, std::span<const std::uint32_t> positions,
                   std::string_view* out) {
  if (positions.empty()) return true;
  if (!tuple.hasValues()) return false;
  std::string_view rest = tuple.text();
  std::size_t found = 0;
  for (std::uint32_t position = 0;; ++position) {
    const std::size_t comma = rest.find(',');
    if (positions[found] == position) {
      out[found] = rest.substr(0, comma);
      if (++found == positions.size()) return true;
    }
    if (comma == std::string_view::npos) return false;
    rest.remove_prefix(comma + 1);
  }
}

// The conditions between one pair of operands, as column slots of each.
struct Edge {
  std::uint32_t left;
  std::uint32_t right;
  std::vector<std::uint32_t> leftSlots;
  std::vector<std::uint32_t> rightSlots;
  // The versions of both sides when the edge was last reduced.
  std::uint64_t leftSeen = UINT64_MAX;
  std::uint64_t rightSeen = UINT64_MAX;
};

// What enumeration needs to find the candidates of one operand: the slots of
// earlier operands whose values must match, and an index on its own slots.
struct Level {
  std::vector<std::uint32_t> probeOperands;
  std::vector<std::uint32_t> probeSlots;
  std::vector<std::uint32_t> ownSlots;
  KeyIndex index;
  // When all probe values come from one earlier operand, the group each of
  // its tuples leads to, looked up in one batch before enumerating.
  bool resolved = false;
  std::vector<std::uint32_t> groupOfProbeTuple;
};

class JoinEngine {
 public:
  JoinEngine(OutputWriter& out, const Operands& operands,
             const std::vector<JoinCondition>& conditions, const HiddenColumns& hiddenColumns)
      : out_(out), operands_(operands), conditions_(conditions), hidden_(hiddenColumns) {}

  void run() {
    const std::size_t count = operands_.size();
    if (count == 0) return;
    for (const Relation* operand : operands_) {
      if (operand->tupleCount() == 0) return;
      // Tuples are numbered in 32 bits; more would not fit in memory anyway.
      if (operand->tupleCount() >= UINT32_MAX) throw std::bad_alloc();
    }
    extractColumns();
    for (const auto& alive : alive_) {
      if (alive.empty()) return;
    }
    planLevels();
    // With two operands every tuple of the first probes the second once, so
    // enumeration alone is already proportional to input plus output.
    if (count > 2 && !reduce()) return;
    for (std::size_t level = 1; level < count; ++level) {
      Level& plan = levels_[level];
      if (plan.ownSlots.empty()) continue;
      plan.index.build(columns_[level], plan.ownSlots, alive_[level],
                       hashesOf(static_cast<std::uint32_t>(level), plan.ownSlots));
      resolveProbes(plan);
    }
    enumerate();
  }

 private:
  // Pulls out the values that conditions test. A tuple lacking one of them
  // fails that condition in every combination, so it is dropped here.
  void extractColumns() {
    const std::size_t count = operands_.size();
    columns_.resize(count);
    for (const JoinCondition& condition : conditions_) {
      columns_[condition.leftOperand].positions.push_back(condition.leftAttribute);
      columns_[condition.rightOperand].positions.push_back(condition.rightAttribute);
    }
    alive_.resize(count);
    for (std::size_t operandIdx = 0; operandIdx < count; ++operandIdx) {
      Columns& columns = columns_[operandIdx];
      auto& positions = columns.positions;
      std::sort(positions.begin(), positions.end());
      positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
      const Relation& relation = *operands_[operandIdx];
      const std::size_t tupleCount = relation.tupleCount();
      columns.values.resize(tupleCount * positions.size());
      auto& alive = alive_[operandIdx];
      alive.reserve(tupleCount);
      for (std::uint32_t tuple = 0; tuple < tupleCount; ++tuple) {
        if (extractValues(relation.tuple(tuple), positions,
                          columns.values.data() + std::size_t{tuple} * positions.size())) {
          alive.push_back(tuple);
        }
      }
    }
  }

  void planLevels() {
    levels_.resize(operands_.size());
    const std::vector<bool> probed = probedConditions();
    for (std::size_t conditionIdx = 0; conditionIdx < conditions_.size(); ++conditionIdx) {
      const JoinCondition& condition = conditions_[conditionIdx];
      const std::uint32_t leftSlot =
          columns_[condition.leftOperand].slotOf(condition.leftAttribute);
      const std::uint32_t rightSlot =
          columns_[condition.rightOperand].slotOf(condition.rightAttribute);
      if (probed[conditionIdx]) {
        Level& level = levels_[condition.rightOperand];
        level.probeOperands.push_back(condition.leftOperand);
        level.probeSlots.push_back(leftSlot);
        level.ownSlots.push_back(rightSlot);
      }
      // Conditions come sorted by operand pair, so one pair's are adjacent.
      if (edges_.empty() || edges_.back().left != condition.leftOperand ||
          edges_.back().right != condition.rightOperand) {
        edges_.push_back(
            {condition.leftOperand, condition.rightOperand, {}, {}, UINT64_MAX, UINT64_MAX});
      }
      edges_.back().leftSlots.push_back(leftSlot);
      edges_.back().rightSlots.push_back(rightSlot);
    }
  }

  // Which conditions enumeration must test; the others follow from them.
  // Once a name occurs in two earlier operands, the conditions of the
  // earlier levels have made all its earlier columns equal, so a later
  // column of that name need only match the first of them. (Two columns of
  // one name within a single operand are not tied to each other until a
  // second operand has the name.) Without this, joining a relation with
  // itself n times would test n conditions per candidate instead of one.
  std::vector<bool> probedConditions() const {
    // The conditions on each later column, in order of the earlier column
    // they name; the first of a run names the first column of the name.
    std::vector<std::uint32_t> byTarget(conditions_.size());
    for (std::uint32_t conditionIdx = 0; conditionIdx < byTarget.size(); ++conditionIdx) {
      byTarget[conditionIdx] = conditionIdx;
    }
    std::sort(byTarget.begin(), byTarget.end(), [&](std::uint32_t a, std::uint32_t b) {
      const JoinCondition& x = conditions_[a];
      const JoinCondition& y = conditions_[b];
      if (x.rightOperand != y.rightOperand) return x.rightOperand < y.rightOperand;
      if (x.rightAttribute != y.rightAttribute) return x.rightAttribute < y.rightAttribute;
      if (x.leftOperand != y.leftOperand) return x.leftOperand < y.leftOperand;
      return x.leftAttribute < y.leftAttribute;
    });
    std::vector<bool> probed(conditions_.size(), true);
    for (std::size_t begin = 0; begin < byTarget.size();) {
      const JoinCondition& first = conditions_[byTarget[begin]];
      std::size_t end = begin + 1;
      bool fromTwoOperands = false;
      while (end < byTarget.size() &&
             conditions_[byTarget[end]].rightOperand == first.rightOperand &&
             conditions_[byTarget[end]].rightAttribute == first.rightAttribute) {
        fromTwoOperands |= conditions_[byTarget[end]].leftOperand != first.leftOperand;
        ++end;
      }
      if (fromTwoOperands) {
        for (std::size_t at = begin + 1; at < end; ++at) probed[byTarget[at]] = false;
      }
      begin = end;
    }
    return probed;
  }

  // Removes tuples that have no partner across some edge, sweeping the edges
  // forwards and backwards until nothing changes. Returns false once an
  // operand has no tuple left, when the join is empty.
  bool reduce() {
    version_.assign(operands_.size(), 0);
    for (int round = 0; round < kMaxReductionRounds; ++round) {
      bool changed = false;
      for (std::size_t step = 0; step < edges_.size(); ++step) {
        Edge& edge = edges_[round % 2 == 0 ? step : edges_.size() - 1 - step];
        // Reducing again by unchanged sides would remove nothing.
        if (edge.leftSeen == version_[edge.left] && edge.rightSeen == version_[edge.right])
          continue;
        changed |= semiJoin(edge);
        if (alive_[edge.left].empty() || alive_[edge.right].empty()) return false;
        edge.leftSeen = version_[edge.left];
        edge.rightSeen = version_[edge.right];
      }
      if (!changed) break;
    }
    return true;
  }

  const std::vector<std::uint64_t>& hashesOf(std::uint32_t operand,
                                             const std::vector<std::uint32_t>& slots) {
    // Alive sets only shrink, so hashes made once serve every later pass.
    auto [entry, inserted] = hashCache_.try_emplace({operand, slots});
    if (inserted) {
      entry->second =
          hashKeys(columns_[operand], slots, alive_[operand], operands_[operand]->tupleCount());
    }
    return entry->second;
  }

  // Keeps on both sides of `edge` only the tuples that match a tuple on the
  // other side. One index, on the smaller side, serves both directions.
  bool semiJoin(const Edge& edge) {
    const bool leftSmaller = alive_[edge.left].size() <= alive_[edge.right].size();
    const std::uint32_t small = leftSmaller ? edge.left : edge.right;
    const std::uint32_t large = leftSmaller ? edge.right : edge.left;
    const auto& smallSlots = leftSmaller ? edge.leftSlots : edge.rightSlots;
    const auto& largeSlots = leftSmaller ? edge.rightSlots : edge.leftSlots;

    KeyIndex index;
    index.build(columns_[small], smallSlots, alive_[small], hashesOf(small, smallSlots));
    std::vector<bool> groupHit(index.groupCount(), false);
    auto& largeAlive = alive_[large];
    const std::size_t largeBefore = largeAlive.size();
    std::vector<std::uint32_t> groups;
    index.findGroups(columns_[large], largeSlots, largeAlive, hashesOf(large, largeSlots), groups);
    std::size_t kept = 0;
    for (std::size_t inputIdx = 0; inputIdx < largeBefore; ++inputIdx) {
      if (groups[inputIdx] == KeyIndex::kNone) continue;
      groupHit[groups[inputIdx]] = true;
      largeAlive[kept++] = largeAlive[inputIdx];
    }
    largeAlive.resize(kept);
    if (kept != largeBefore) ++version_[large];

    auto& smallAlive = alive_[small];
    const std::size_t smallBefore = smallAlive.size();
    kept = 0;
    for (std::size_t inputIdx = 0; inputIdx < smallBefore; ++inputIdx) {
      if (groupHit[index.groupOfInput(inputIdx)]) smallAlive[kept++] = smallAlive[inputIdx];
    }
    smallAlive.resize(kept);
    if (kept != smallBefore) ++version_[small];
    return largeAlive.size() != largeBefore || smallAlive.size() != smallBefore;
  }

  void resolveProbes(Level& plan) {
    const std::uint32_t from = plan.probeOperands.front();
    for (const std::uint32_t operand : plan.probeOperands) {
      if (operand != from) return;
    }
    std::vector<std::uint32_t> groups;
    plan.index.findGroups(columns_[from], plan.probeSlots, alive_[from],
                          hashesOf(from, plan.probeSlots), groups);
    plan.groupOfProbeTuple.assign(operands_[from]->tupleCount(), KeyIndex::kNone);
    for (std::size_t inputIdx = 0; inputIdx < groups.size(); ++inputIdx) {
      plan.groupOfProbeTuple[alive_[from][inputIdx]] = groups[inputIdx];
    }
    plan.resolved = true;
  }

  std::span<const std::uint32_t> candidates(std::size_t level) {
    const Level& plan = levels_[level];
    if (plan.ownSlots.empty()) return alive_[level];
    if (plan.resolved) {
      return plan.index.members(plan.groupOfProbeTuple[chosen_[plan.probeOperands.front()]]);
    }
    for (std::size_t keyIdx = 0; keyIdx < plan.probeSlots.size(); ++keyIdx) {
      const std::uint32_t operand = plan.probeOperands[keyIdx];
      probeKey_[keyIdx] = columns_[operand].at(chosen_[operand], plan.probeSlots[keyIdx]);
    }
    return plan.index.members(plan.index.findGroup(probeKey_.data()));
  }

  // Depth first, candidates in ascending tuple order: the rows come out in
  // the order of the nested loop. The visible values of the tuples chosen on
  // the outer levels are kept ready, so a row costs a write per level.
  void enumerate() {
    const std::size_t count = operands_.size();
    std::size_t longestKey = 0;
    for (const Level& level : levels_) longestKey = std::max(longestKey, level.probeSlots.size());
    probeKey_.resize(longestKey);
    chosen_.assign(count, 0);
    hasHidden_.resize(count);
    for (std::size_t operandIdx = 0; operandIdx < count; ++operandIdx) {
      const auto& bits = hidden_[operandIdx];
      hasHidden_[operandIdx] = std::find(bits.begin(), bits.end(), true) != bits.end();
    }
    // The visible values of each outer level's chosen tuple, joined by ",":
    // a view of the stored tuple when nothing of it is hidden (no copy, however
    // long the tuple), else a string made once per chosen tuple.
    std::vector<std::string_view> pieceText(count);
    std::vector<bool> pieceHasValue(count, false);  // an empty value still counts
    std::vector<std::string> pieceStorage(count);
    std::vector<std::span<const std::uint32_t>> pending(count);
    pending[0] = alive_[0];
    std::size_t level = 0;
    std::uint32_t steps = 0;
    for (;;) {
      if (++steps == kPollSteps) {
        steps = 0;
        out_.poll();
        if (out_.failed()) return;
      }
      if (pending[level].empty()) {
        if (level == 0) return;
        --level;
        continue;
      }
      if (level == 0) out_.setOuterProgress(alive_[0].size() - pending[0].size(), alive_[0].size());
      chosen_[level] = pending[level].front();
      pending[level] = pending[level].subspan(1);
      if (level + 1 == count) {
        bool written = false;
        for (std::size_t outer = 0; outer < level; ++outer) {
          if (!pieceHasValue[outer]) continue;
          if (written) out_.put(',');
          out_.write(pieceText[outer]);
          written = true;
        }
        appendVisible(out_, level, written);
        out_.put('\n');
        out_.endRow();
        if (out_.failed()) return;
        continue;
      }
      bool written = false;
      if (hasHidden_[level]) {
        pieceStorage[level].clear();
        appendVisible(pieceStorage[level], level, written);
        pieceText[level] = pieceStorage[level];
      } else {
        const TupleView tuple = operands_[level]->tuple(chosen_[level]);
        written = tuple.hasValues();
        pieceText[level] = tuple.text();
      }
      pieceHasValue[level] = written;
      ++level;
      pending[level] = candidates(level);
    }
  }

  static void append(std::string& to, std::string_view text) { to += text; }
  static void append(OutputWriter& to, std::string_view text) { to.write(text); }
  static void append(std::string& to, char c) { to += c; }
  static void append(OutputWriter& to, char c) { to.put(c); }

  // Appends the visible values of the tuple chosen for `operandIdx`, each
  // after a "," if something was written before it.
  template <typename Target>
  void appendVisible(Target& to, std::size_t operandIdx, bool& written) const {
    const TupleView tuple = operands_[operandIdx]->tuple(chosen_[operandIdx]);
    if (!tuple.hasValues()) return;
    if (!hasHidden_[operandIdx]) {
      if (written) append(to, ',');
      append(to, tuple.text());
      written = true;
      return;
    }
    const auto& bits = hidden_[operandIdx];
    tuple.forEachValue([&](std::size_t position, std::string_view value) {
      if (position < bits.size() && bits[position]) return;
      if (written) append(to, ',');
      append(to, value);
      written = true;
    });
  }

  OutputWriter& out_;
  const Operands& operands_;
  const std::vector<JoinCondition>& conditions_;
  const HiddenColumns& hidden_;

  std::vector<Columns> columns_;
  std::vector<std::vector<std::uint32_t>> alive_;  // per operand, ascending
  std::vector<Level> levels_;
  std::vector<Edge> edges_;
  std::vector<std::uint64_t> version_;  // per operand, bumped when tuples are removed
  std::map<std::pair<std::uint32_t, std::vector<std::uint32_t>>, std::vector<std::uint64_t>>
      hashCache_;
  std::vector<std::uint32_t> chosen_;
  std::vector<std::string_view> probeKey_;
  std::vector<bool> hasHidden_;
};

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

}  // namespace

void writeJoinResult(OutputWriter& out, const Operands& operands,
                     const std::vector<JoinCondition>& conditions,
                     const HiddenColumns& hiddenColumns) {
  writeHeader(out, operands, hiddenColumns);
  out.flush();
  if (out.failed()) return;
  JoinEngine(out, operands, conditions, hiddenColumns).run();
}

}  // namespace natjoin
