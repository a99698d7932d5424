#include "join/reduce.h"

#include <algorithm>
#include <vector>

#include "join/key_table.h"
#include "join/stats.h"

namespace natjoin {
namespace {

// How many rounds of passes a cyclic join gets. Each round costs about the
// input; later rounds rarely remove much.
constexpr int kMaxCyclicRounds = 6;

using SharedSlots = std::span<const std::pair<std::uint32_t, std::uint32_t>>;

// Scratch for semi-joins: a key table for keys of several ids, and a bitmap
// over the ids of a variable for keys of one id (cleared after each use, so
// a semi-join costs its tuples, not the variable's whole domain).
struct SemiJoinScratch {
  KeyTable keys;
  std::vector<std::uint64_t> bits;
};

// Keeps of `target` the tuples whose ids in the first slots of `shared`
// occur in some tuple of `source` in the second slots. Returns whether
// anything was removed.
bool semiJoin(EncodedOperand& target, const EncodedOperand& source, SharedSlots shared,
              bool targetIsFirst, SemiJoinScratch& scratch, JoinStats& stats) {
  auto targetSlot = [&](std::size_t keyIdx) {
    return targetIsFirst ? shared[keyIdx].first : shared[keyIdx].second;
  };
  auto sourceSlot = [&](std::size_t keyIdx) {
    return targetIsFirst ? shared[keyIdx].second : shared[keyIdx].first;
  };
  stats.reduceSteps += source.alive.size() + target.alive.size();
  std::size_t kept = 0;
  if (shared.size() == 1) {
    const std::uint32_t from = sourceSlot(0);
    const std::uint32_t to = targetSlot(0);
    auto& bits = scratch.bits;
    const std::size_t words = (std::size_t{source.domain[from]} + 63) / 64;
    if (bits.size() < words) bits.resize(words, 0);
    for (const std::uint32_t tuple : source.alive) {
      const std::uint32_t id = source.id(tuple, from);
      bits[id / 64] |= std::uint64_t{1} << (id % 64);
    }
    for (const std::uint32_t tuple : target.alive) {
      const std::uint32_t id = target.id(tuple, to);
      if ((bits[id / 64] >> (id % 64)) & 1) target.alive[kept++] = tuple;
    }
    for (const std::uint32_t tuple : source.alive) bits[source.id(tuple, from) / 64] = 0;
  } else {
    KeyTable& keys = scratch.keys;
    keys = KeyTable(shared.size());
    std::vector<std::uint32_t> key(shared.size());
    for (const std::uint32_t tuple : source.alive) {
      const std::uint32_t* row = source.row(tuple);
      for (std::size_t keyIdx = 0; keyIdx < shared.size(); ++keyIdx) {
        key[keyIdx] = row[sourceSlot(keyIdx)];
      }
      keys.insert(key.data());
    }
    for (const std::uint32_t tuple : target.alive) {
      const std::uint32_t* row = target.row(tuple);
      for (std::size_t keyIdx = 0; keyIdx < shared.size(); ++keyIdx) {
        key[keyIdx] = row[targetSlot(keyIdx)];
      }
      if (keys.contains(key.data())) target.alive[kept++] = tuple;
    }
  }
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
  for (std::uint32_t operandIdx = 1; operandIdx < classes.operands.size(); ++operandIdx) {
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

bool OuterFilter::admits(const std::uint32_t* row, std::vector<std::uint32_t>& key) const {
  for (const SlotBits& check : slotBits) {
    const std::uint32_t id = row[check.slot];
    if (((check.bits[id / 64] >> (id % 64)) & 1) == 0) return false;
  }
  for (const Edge& edge : edges) {
    key.resize(edge.slots.size());
    for (std::size_t keyIdx = 0; keyIdx < edge.slots.size(); ++keyIdx) {
      key[keyIdx] = row[edge.slots[keyIdx]];
    }
    if (!edge.keys.contains(key.data())) return false;
  }
  return true;
}

void OuterFilter::apply(EncodedOperand& chunk, std::vector<std::uint32_t>& key) const {
  if (slotBits.empty() && edges.empty()) return;
  std::size_t kept = 0;
  for (const std::uint32_t tuple : chunk.alive) {
    if (admits(chunk.row(tuple), key)) chunk.alive[kept++] = tuple;
  }
  chunk.alive.resize(kept);
}

OuterFilter filterForOuter(const EncodedJoin& encoded, const JoinClasses& classes,
                           const JoinForest& forest) {
  OuterFilter filter;
  const auto& outerVars = classes.operands[0].vars;
  // Per variable of the outermost operand, the ids every other operand
  // having it still holds.
  for (std::uint32_t slot = 0; slot < outerVars.size(); ++slot) {
    const std::uint32_t var = outerVars[slot];
    std::vector<std::uint32_t> count(encoded.domainSize[var], 0);
    std::uint32_t holders = 0;
    for (std::uint32_t operandIdx = 1; operandIdx < classes.operands.size(); ++operandIdx) {
      const auto& vars = classes.operands[operandIdx].vars;
      const auto at = std::lower_bound(vars.begin(), vars.end(), var);
      if (at == vars.end() || *at != var) continue;
      const auto holderSlot = static_cast<std::uint32_t>(at - vars.begin());
      const EncodedOperand& operand = encoded.operands[operandIdx];
      ++holders;
      for (const std::uint32_t tuple : operand.alive) {
        std::uint32_t& held = count[operand.id(tuple, holderSlot)];
        if (held + 1 == holders) held = holders;
      }
    }
    if (holders == 0) continue;
    OuterFilter::SlotBits& check = filter.slotBits.emplace_back();
    check.slot = slot;
    check.bits.assign((count.size() + 63) / 64, 0);
    for (std::uint32_t id = 0; id < count.size(); ++id) {
      if (count[id] == holders) check.bits[id / 64] |= std::uint64_t{1} << (id % 64);
    }
  }
  // Per edge of the forest sharing several variables, the keys held at its
  // other end.
  for (std::uint32_t operandIdx = 1; operandIdx < classes.operands.size(); ++operandIdx) {
    const bool child = forest.parent[operandIdx] == 0;
    const bool parent = forest.parent[0] == operandIdx;
    if (!child && !parent) continue;
    const SharedSlots shared = forest.sharedWithParent(child ? operandIdx : 0);
    if (shared.size() < 2) continue;
    OuterFilter::Edge& edge = filter.edges.emplace_back();
    edge.keys = KeyTable(shared.size());
    std::vector<std::uint32_t> otherSlots;
    for (const auto& [childSlot, parentSlot] : shared) {
      edge.slots.push_back(child ? parentSlot : childSlot);
      otherSlots.push_back(child ? childSlot : parentSlot);
    }
    const EncodedOperand& operand = encoded.operands[operandIdx];
    std::vector<std::uint32_t> key(shared.size());
    for (const std::uint32_t tuple : operand.alive) {
      for (std::size_t keyIdx = 0; keyIdx < key.size(); ++keyIdx) {
        key[keyIdx] = operand.id(tuple, otherSlots[keyIdx]);
      }
      edge.keys.insert(key.data());
    }
  }
  return filter;
}

bool reduceOperands(EncodedJoin& encoded, const JoinClasses& classes, const JoinForest& forest,
                    JoinStats& stats) {
  auto& operands = encoded.operands;
  SemiJoinScratch scratch;
  for (int round = 0; round < kMaxCyclicRounds; ++round) {
    bool removed = false;
    for (std::size_t at = forest.order.size(); at-- > 0;) {
      const std::uint32_t child = forest.order[at];
      const std::uint32_t parent = forest.parent[child];
      if (parent == kNoParent || parent == 0 || child == 0) continue;
      removed |= semiJoin(operands[parent], operands[child], forest.sharedWithParent(child), false,
                          scratch, stats);
      if (operands[parent].alive.empty()) return false;
    }
    for (const std::uint32_t child : forest.order) {
      const std::uint32_t parent = forest.parent[child];
      if (parent == kNoParent || parent == 0 || child == 0) continue;
      removed |= semiJoin(operands[child], operands[parent], forest.sharedWithParent(child), true,
                          scratch, stats);
      if (operands[child].alive.empty()) return false;
    }
    if (forest.acyclic) break;
    removed |= filterByVariable(encoded, classes, stats);
    for (std::size_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
      if (operands[operandIdx].alive.empty()) return false;
    }
    if (!removed) break;
  }
  return true;
}

}  // namespace natjoin
