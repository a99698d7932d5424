// Finding a level's candidates for a prefix: a lookup in the index on its
// bound slots, a filter of the few tuples an earlier level's pruning found,
// a check of a tiny operand's tuples one by one, or for a pruned level, its
// pruning, computed when the values it depends on change and remembered by
// those values where they come back.
#include <algorithm>
#include <array>
#include <bit>

#include "join/levels.h"

namespace natjoin {
namespace {

// The most inherited tuples a level filters instead of looking up.
constexpr std::size_t kMaxInherited = 16;
// How many remembered candidates a level may keep, per tuple of its operand
// and in all.
constexpr std::size_t kMemoPerTuple = 4;
constexpr std::size_t kMemoSlack = std::size_t{1} << 16;
// The fewest pruning steps the prefixes agreeing on a pruning's outer
// values cost before its split candidates are found (see SplitCandidates).
constexpr std::uint64_t kMinSplitSteps = 64;
// How many tuples grouped by a late leaf's ids a level may hold, per tuple
// of the level's operand and of the leaf, beyond kMemoSlack.
constexpr std::size_t kSplitPerTuple = 2;

// Every ascending list of tuples 0 to 3, by the mask of its members: the
// candidates of a compacted operand of at most four tuples are one of them,
// so checking such an operand tuple by tuple needs no storage per level.
static_assert(kMaxScannedTuples == 4);
constexpr auto kSubsets = [] {
  std::array<std::array<std::uint32_t, 4>, 16> subsets{};
  for (std::uint32_t mask = 0; mask < 16; ++mask) {
    std::uint32_t size = 0;
    for (std::uint32_t tuple = 0; tuple < 4; ++tuple) {
      if ((mask >> tuple) & 1) subsets[mask][size++] = tuple;
    }
  }
  return subsets;
}();

// Whether the ids of `row` in `slots` are `key`.
bool matches(const std::uint32_t* row, std::span<const std::uint32_t> slots,
             const std::vector<std::uint32_t>& key) {
  for (std::size_t keyIdx = 0; keyIdx < slots.size(); ++keyIdx) {
    if (row[slots[keyIdx]] != key[keyIdx]) return false;
  }
  return true;
}

// The late anchor's id in the tuple `chosen` at its level.
std::uint32_t lateId(const Pruning& pruning, const EncodedView& encoded,
                     const std::vector<std::uint32_t>& chosen) {
  const KeySource& source = pruning.lateSource;
  return encoded.operands[source.operand].id(chosen[source.operand], source.slot);
}

// Fills found.grouped from the root's `survivors` of the split pruning:
// each with the late id of its own row, or of each partner it has in the
// late leaf. Returns false where those pairs would outgrow the operands.
bool groupByLate(const Pruning& pruning, SplitCandidates& found,
                 std::span<const std::uint32_t> survivors, const EncodedView& encoded,
                 IndexCache& indexes, JoinStats& stats) {
  const EncodedOperand& operand = encoded.operands[pruning.nodes[0].operand];
  const std::uint32_t slot = pruning.lateSlot;
  found.grouped.clear();
  if (pruning.lateNode == 0) {
    found.grouped.reserve(survivors.size());
    for (const std::uint32_t tuple : survivors) {
      found.grouped.push_back(std::uint64_t{operand.row(tuple)[slot]} << 32 | tuple);
    }
    stats.candidateSteps += survivors.size();
  } else {
    const PruneNode& leaf = pruning.nodes[pruning.lateNode];
    const EncodedOperand& leafOperand = encoded.operands[leaf.operand];
    if (found.leafIndex == nullptr) {
      std::vector<std::uint32_t> slots;
      for (const auto& pair : leaf.sharedWithParent) slots.push_back(pair.first);
      found.leafIndex = &indexes.get(leaf.operand, slots);
    }
    const std::size_t limit =
        kSplitPerTuple * (operand.aliveCount() + leafOperand.aliveCount()) + kMemoSlack;
    for (const std::uint32_t tuple : survivors) {
      const std::uint32_t* row = operand.row(tuple);
      found.key.clear();
      for (const auto& pair : leaf.sharedWithParent) found.key.push_back(row[pair.second]);
      const std::span<const std::uint32_t> partners = found.leafIndex->lookup(found.key.data());
      stats.candidateSteps += 1 + partners.size();
      if (found.grouped.size() + partners.size() > limit) return false;
      for (const std::uint32_t partner : partners) {
        found.grouped.push_back(std::uint64_t{leafOperand.row(partner)[slot]} << 32 | tuple);
      }
    }
  }
  std::sort(found.grouped.begin(), found.grouped.end());
  // Partners that agree on the late id give the tuple once.
  found.grouped.erase(std::unique(found.grouped.begin(), found.grouped.end()), found.grouped.end());
  return true;
}

// Takes the level's candidates from its split candidates where they are
// found for the prefix's outer values, finding them first where the
// prefixes with those values have cost enough (see SplitCandidates).
// Returns false where the level is to be pruned as before.
bool fromSplit(const JoinPlan& plan, const Pruning& pruning, LevelCache& cache, LevelStates& states,
               const EncodedView& encoded, IndexCache& indexes,
               const std::vector<std::uint32_t>& chosen, JoinStats& stats) {
  const Pruning& split = plan.prunings[pruning.split];
  if (!cache.split) cache.split = std::make_unique<SplitCandidates>();
  SplitCandidates& found = *cache.split;
  readKey(split.cacheSources, encoded, chosen, found.key);
  if (found.key != found.outerKey) {
    found.outerKey.swap(found.key);
    if (found.ready) {
      found.eager =
          found.prunedPrefixes != 0 &&
          static_cast<double>(found.served) * static_cast<double>(found.prunedSteps) >=
              static_cast<double>(found.lastCost) * static_cast<double>(found.prunedPrefixes);
    }
    found.ready = false;
    found.outerSteps = 0;
  }
  if (!found.ready) {
    if (!found.eager && found.outerSteps < std::max(kMinSplitSteps, found.lastCost)) {
      return false;
    }
    if (found.abandoned) return false;
    if (!found.cache) found.cache = LevelStates::makeCache(&split);
    const std::uint64_t stepsBefore = stats.candidateSteps;
    std::span<const std::uint32_t> survivors;
    if (split.nodes.size() == 1) {
      // Only the leaf pruned the root: its anchored tuples all survive.
      locateAnchored(split, *found.cache, states, encoded, indexes, chosen, stats);
      survivors = found.cache->nodes[0].anchored;
    } else {
      prune(split, *found.cache, states, encoded, indexes, chosen, stats);
      survivors = found.cache->nodes[0].survivors;
    }
    if (!groupByLate(pruning, found, survivors, encoded, indexes, stats)) {
      found.abandoned = true;
      return false;
    }
    found.lastCost = stats.candidateSteps - stepsBefore;
    found.ready = true;
    found.served = 0;
  }
  ++found.served;
  if (pruning.inherited) locateAnchored(pruning, cache, states, encoded, indexes, chosen, stats);
  const std::uint64_t late = lateId(pruning, encoded, chosen);
  auto at = std::lower_bound(found.grouped.begin(), found.grouped.end(), late << 32);
  ++stats.candidateSteps;
  cache.candidates.clear();
  for (; at != found.grouped.end() && *at >> 32 == late; ++at) {
    cache.candidates.push_back(static_cast<std::uint32_t>(*at));
  }
  return true;
}

}  // namespace

std::span<const std::uint32_t> findCandidates(const JoinPlan& plan, LevelStates& states,
                                              std::size_t levelIdx, const EncodedView& encoded,
                                              IndexCache& indexes,
                                              const std::vector<std::uint32_t>& chosen,
                                              JoinStats& stats) {
  const Level& level = plan.levels[levelIdx];
  const Pruning* const pruning = plan.pruningOf(level);
  const EncodedOperand& operand = encoded.operands[level.operand];
  std::vector<std::uint32_t>& key = states.key();
  if (pruning == nullptr && level.inheritLevel != UINT32_MAX) {
    // Where the node's tuples are sorted by ids other than its anchors, the
    // filter fixes those ids: a variable they hold is shared with another
    // operand of the node's tree, and were it unbound here, this level
    // would be pruned through that operand. What passes stays ascending.
    const std::span<const std::uint32_t> inherited =
        states.cache(plan, level.inheritLevel).nodes[level.inheritNode].anchored;
    if (inherited.size() <= kMaxInherited) {
      readKey(plan.filterSources(level), encoded, chosen, key);
      const auto slots = plan.filterSlots(level);
      std::vector<std::uint32_t>& candidates = states.cache(plan, levelIdx).candidates;
      candidates.clear();
      for (const std::uint32_t tuple : inherited) {
        if (matches(operand.row(tuple), slots, key)) candidates.push_back(tuple);
      }
      return candidates;
    }
  }
  if (pruning == nullptr) {
    readKey(plan.boundSources(level), encoded, chosen, key);
    const auto slots = plan.boundSlots(level);
    // A few tuples are checked one by one: an index for them would cost
    // more memory than the tuples, in a join of thousands of tiny operands.
    if (operand.aliveCount() <= kMaxScannedTuples) {
      std::uint32_t mask = 0;
      for (std::uint32_t tuple = 0; tuple < operand.aliveCount(); ++tuple) {
        if (matches(operand.row(tuple), slots, key)) mask |= std::uint32_t{1} << tuple;
      }
      return {kSubsets[mask].data(), static_cast<std::size_t>(std::popcount(mask))};
    }
    const IdIndex*& index = states.index(levelIdx);
    if (index == nullptr) index = &indexes.get(level.operand, slots);
    return index->lookup(key.data());
  }
  LevelCache& cache = states.cache(plan, levelIdx);
  if (cache.valid) {
    bool same = true;
    for (std::size_t keyIdx = 0; keyIdx < pruning->cacheSources.size() && same; ++keyIdx) {
      const KeySource& source = pruning->cacheSources[keyIdx];
      same = encoded.operands[source.operand].id(chosen[source.operand], source.slot) ==
             cache.key[keyIdx];
    }
    if (same) return cache.candidates;
  }
  readKey(pruning->cacheSources, encoded, chosen, cache.key);
  cache.valid = true;
  if (pruning->split != Pruning::kNoSplit &&
      fromSplit(plan, *pruning, cache, states, encoded, indexes, chosen, stats)) {
    return cache.candidates;
  }
  if (!cache.memo) {
    cache.memo.emplace(cache.key.size(), kMemoPerTuple * operand.aliveCount() + kMemoSlack);
  }
  if (cache.memo->consult(cache.key.data())) {
    if (const auto candidates = cache.memo->find(cache.key.data())) {
      if (pruning->inherited) {
        locateAnchored(*pruning, cache, states, encoded, indexes, chosen, stats);
      }
      cache.candidates.assign(candidates->begin(), candidates->end());
      return cache.candidates;
    }
  }
  const std::uint64_t stepsBefore = stats.candidateSteps;
  prune(*pruning, cache, states, encoded, indexes, chosen, stats);
  cache.candidates.swap(cache.nodes[0].survivors);
  const std::uint64_t steps = stats.candidateSteps - stepsBefore;
  cache.memo->computed(cache.key.data(), cache.candidates, steps);
  if (cache.split) {
    cache.split->outerSteps += steps;
    cache.split->prunedSteps += steps;
    ++cache.split->prunedPrefixes;
  }
  return cache.candidates;
}

}  // namespace natjoin
