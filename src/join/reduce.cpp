#include "join/reduce.h"

#include <vector>

#include "join/key_table.h"
#include "join/stats.h"

namespace natjoin {
namespace {

// How many rounds of passes a cyclic join gets. Each round costs about the
// input; later rounds rarely remove much.
constexpr int kMaxCyclicRounds = 6;

using SlotPairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Keeps of `target` the tuples whose ids in the first slots of `shared`
// occur in some tuple of `source` in the second slots. Returns whether
// anything was removed.
bool semiJoin(EncodedOperand& target, const EncodedOperand& source, const SlotPairs& shared,
              bool targetIsFirst, KeyTable& keys, JoinStats& stats) {
  keys = KeyTable(shared.size());
  std::vector<std::uint32_t> key(shared.size());
  for (const std::uint32_t tuple : source.alive) {
    const std::uint32_t* row = source.row(tuple);
    for (std::size_t keyIdx = 0; keyIdx < shared.size(); ++keyIdx) {
      key[keyIdx] = row[targetIsFirst ? shared[keyIdx].second : shared[keyIdx].first];
    }
    keys.insert(key.data());
  }
  std::size_t kept = 0;
  for (const std::uint32_t tuple : target.alive) {
    const std::uint32_t* row = target.row(tuple);
    for (std::size_t keyIdx = 0; keyIdx < shared.size(); ++keyIdx) {
      key[keyIdx] = row[targetIsFirst ? shared[keyIdx].first : shared[keyIdx].second];
    }
    if (keys.contains(key.data())) target.alive[kept++] = tuple;
  }
  stats.reduceSteps += source.alive.size() + target.alive.size();
  const bool removed = kept != target.alive.size();
  target.alive.resize(kept);
  return removed;
}

// Keeps, for each variable, only the values that every operand having it
// still holds.
bool filterByVariable(EncodedJoin& encoded, const JoinClasses& classes, JoinStats& stats) {
  struct Has {
    std::uint32_t operand;
    std::uint32_t slot;
  };
  std::vector<std::vector<Has>> holders(classes.varCount);
  for (std::uint32_t operandIdx = 0; operandIdx < classes.operands.size(); ++operandIdx) {
    const auto& vars = classes.operands[operandIdx].vars;
    for (std::uint32_t slot = 0; slot < vars.size(); ++slot) {
      holders[vars[slot]].push_back({operandIdx, slot});
    }
  }
  bool removed = false;
  std::vector<std::uint32_t> count;
  std::vector<std::uint32_t> lastHolder;
  for (std::uint32_t var = 0; var < classes.varCount; ++var) {
    const auto& varHolders = holders[var];
    count.assign(encoded.domainSize[var], 0);
    lastHolder.assign(encoded.domainSize[var], UINT32_MAX);
    for (std::uint32_t holderIdx = 0; holderIdx < varHolders.size(); ++holderIdx) {
      const EncodedOperand& operand = encoded.operands[varHolders[holderIdx].operand];
      for (const std::uint32_t tuple : operand.alive) {
        const std::uint32_t id = operand.id(tuple, varHolders[holderIdx].slot);
        if (lastHolder[id] != holderIdx) {
          lastHolder[id] = holderIdx;
          ++count[id];
        }
      }
      stats.reduceSteps += operand.alive.size();
    }
    for (const Has& holder : varHolders) {
      EncodedOperand& operand = encoded.operands[holder.operand];
      std::size_t kept = 0;
      for (const std::uint32_t tuple : operand.alive) {
        if (count[operand.id(tuple, holder.slot)] == varHolders.size()) {
          operand.alive[kept++] = tuple;
        }
      }
      removed |= kept != operand.alive.size();
      operand.alive.resize(kept);
    }
  }
  return removed;
}

}  // namespace

bool reduceOperands(EncodedJoin& encoded, const JoinClasses& classes, const JoinForest& forest,
                    JoinStats& stats) {
  auto& operands = encoded.operands;
  KeyTable keys;
  for (int round = 0; round < kMaxCyclicRounds; ++round) {
    bool removed = false;
    for (std::size_t at = forest.order.size(); at-- > 0;) {
      const std::uint32_t child = forest.order[at];
      const std::uint32_t parent = forest.parent[child];
      if (parent == kNoParent) continue;
      removed |= semiJoin(operands[parent], operands[child], forest.sharedWithParent[child], false,
                          keys, stats);
      if (operands[parent].alive.empty()) return false;
    }
    for (const std::uint32_t child : forest.order) {
      const std::uint32_t parent = forest.parent[child];
      if (parent == kNoParent) continue;
      removed |= semiJoin(operands[child], operands[parent], forest.sharedWithParent[child], true,
                          keys, stats);
      if (operands[child].alive.empty()) return false;
    }
    if (forest.acyclic) break;
    removed |= filterByVariable(encoded, classes, stats);
    for (const EncodedOperand& operand : operands) {
      if (operand.alive.empty()) return false;
    }
    if (!removed) break;
  }
  return true;
}

}  // namespace natjoin
