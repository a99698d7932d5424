// Reading ahead for the enumeration: what finding a level's candidates
// will read for a coming prefix, asked of the processor early.
#include "join/levels.h"

namespace natjoin {

void prefetchLevel(const JoinPlan& plan, LevelStates& states, std::size_t levelIdx,
                   const EncodedView& encoded, IndexCache& indexes,
                   const std::vector<std::uint32_t>& chosen, Prefetch stage) {
  const Level& level = plan.levels[levelIdx];
  std::vector<std::uint32_t>& key = states.key();
  if (const Pruning* pruning = plan.pruningOf(level)) {
    // The tuples of a node anchored by the prefix, the level's own operand
    // too, are read by the pruning, and where few, written by a later
    // level that filters them.
    const auto& nodes = pruning->nodes;
    const LevelCache& cache = states.cache(plan, levelIdx);
    for (std::size_t nodeIdx = 0; nodeIdx < nodes.size(); ++nodeIdx) {
      const PruneNode& node = nodes[nodeIdx];
      const NodeState& state = cache.nodes[nodeIdx];
      const IdIndex* anchorIndex = state.anchorIndex;
      if (anchorIndex == nullptr || node.anchorSources.empty()) continue;
      readKey(node.anchorSources, encoded, chosen, key);
      if (stage == Prefetch::kGroup || stage == Prefetch::kMembers) {
        // The group of the anchored tuples: their members, or where they
        // are found sorted by other ids, those ids, which the pruning
        // merges instead of reading members.
        if (stage == Prefetch::kGroup) {
          anchorIndex->prefetchGroup(key.data());
        } else if (state.anchorSorted) {
          anchorIndex->prefetchRest(key.data());
        } else {
          anchorIndex->prefetchMembers(key.data());
        }
        // The ids after the anchors in the other indexes the pruning reads
        // by the same anchors: a leaf's probe index, and a node's indexes
        // on what it shares with each child.
        auto prefetchSorted = [&](const IdIndex* index) {
          if (index == nullptr || index == anchorIndex || index->leadingWidth() > key.size()) {
            return;
          }
          if (stage == Prefetch::kGroup) {
            index->prefetchGroup(key.data());
          } else {
            index->prefetchRest(key.data());
          }
        };
        prefetchSorted(state.probeIndex);
        for (const IdIndex* childIndex : state.childIndex) prefetchSorted(childIndex);
        continue;
      }
      std::span<const std::uint32_t> found;
      if (state.anchorSorted) {
        const IdIndex::SortedGroup group = anchorIndex->sortedGroup(key.data());
        found = {group.members, group.size};
      } else {
        found = anchorIndex->lookup(key.data());
      }
      if (found.empty() || found.size() > 2) continue;
      const EncodedOperand& operand = encoded.operands[node.operand];
      for (const std::uint32_t tuple : found) {
        if (stage == Prefetch::kStart) {
          __builtin_prefetch(operand.row(tuple));
          operand.prefetchStart(tuple);
        } else {
          operand.prefetchShown(tuple);
        }
      }
    }
    return;
  }
  if (level.inheritLevel != UINT32_MAX || level.boundCount == 0) return;
  const EncodedOperand& operand = encoded.operands[level.operand];
  if (operand.aliveCount() <= kMaxScannedTuples) return;
  const IdIndex*& indexSlot = states.index(levelIdx);
  if (indexSlot == nullptr) indexSlot = &indexes.get(level.operand, plan.boundSlots(level));
  readKey(plan.boundSources(level), encoded, chosen, key);
  const IdIndex& index = *indexSlot;
  switch (stage) {
    case Prefetch::kGroup:
      index.prefetchGroup(key.data());
      return;
    case Prefetch::kMembers:
      index.prefetchMembers(key.data());
      return;
    case Prefetch::kStart:
    case Prefetch::kText:
      break;
  }
  const std::span<const std::uint32_t> found = index.lookup(key.data());
  if (found.empty()) return;
  if (stage == Prefetch::kStart) {
    operand.prefetchStart(found[0]);
  } else {
    operand.prefetchShown(found[0]);
  }
}

}  // namespace natjoin
