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

// The tuples a pruning step reads lie at random places in their operand:
// fetching the ids of the tuple kPrefetchAhead places further on while
// one is looked at hides most cache misses.
constexpr std::size_t kPrefetchAhead = 4;

void prefetchRow(const EncodedOperand& operand, std::span<const std::uint32_t> tuples,
                 std::size_t at) {
  if (at + kPrefetchAhead < tuples.size()) {
    __builtin_prefetch(operand.row(tuples[at + kPrefetchAhead]));
  }
}

// Computes the survivors of one node from its children's results. Runs on
// the nodes from the last to the first, so children are done first.
class Pruner {
 public:
  Pruner(const Pruning& pruning, LevelCache& cache, LevelStates& states, const EncodedView& encoded,
         IndexCache& indexes, JoinStats& stats)
      : nodes_(pruning.nodes),
        states_(cache.nodes),
        encoded_(encoded),
        indexes_(indexes),
        stats_(stats),
        key_(states.key()),
        lookupKey_(states.lookupKey()),
        childKey_(states.childKey()),
        groups_(states.groups()) {}

  void run(const std::vector<std::uint32_t>& chosen) {
    locate(chosen);
    for (std::size_t nodeIdx = nodes_.size(); nodeIdx-- > 0;) {
      if (!nodes_[nodeIdx].children.empty()) computeNode(nodeIdx);
    }
  }

  // Finds each node's tuples that agree with its anchors; later levels may
  // filter these (Level::inheritLevel), so they are kept current even where
  // the candidates come from the memo.
  void locate(const std::vector<std::uint32_t>& chosen) {
    for (std::size_t nodeIdx = 0; nodeIdx < nodes_.size(); ++nodeIdx) {
      const PruneNode& node = nodes_[nodeIdx];
      NodeState& state = states_[nodeIdx];
      readKey(node.anchorSources, encoded_, chosen, state.anchorKey);
      if (state.anchorIndex == nullptr) {
        state.anchorIndex = &indexes_.get(node.operand, node.anchorSlots);
      }
      state.anchored = state.anchorIndex->lookup(state.anchorKey.data());
    }
    // The walk reads the rows of the anchored tuples: those of all nodes
    // are asked for at once, so that their cache misses overlap.
    for (std::size_t nodeIdx = 0; nodeIdx < nodes_.size(); ++nodeIdx) {
      const std::span<const std::uint32_t> anchored = states_[nodeIdx].anchored;
      const EncodedOperand& operand = encoded_.operands[nodes_[nodeIdx].operand];
      for (std::size_t at = 0; at < std::min(anchored.size(), kPrefetchAhead); ++at) {
        __builtin_prefetch(operand.row(anchored[at]));
      }
    }
  }

 private:
  // How many keys a child offers its parent.
  std::size_t offered(std::uint32_t childIdx) const {
    return nodes_[childIdx].children.empty() ? states_[childIdx].anchored.size()
                                             : states_[childIdx].sharedKeys.size();
  }

  // Whether `tuple` of `node` has a partner in node `childIdx`.
  bool hasPartner(const PruneNode& node, std::uint32_t tuple, std::uint32_t childIdx) {
    const PruneNode& child = nodes_[childIdx];
    NodeState& state = states_[childIdx];
    const std::uint32_t* row = encoded_.operands[node.operand].row(tuple);
    if (!child.children.empty()) {
      key_.resize(child.sharedWithParent.size());
      for (std::size_t keyIdx = 0; keyIdx < key_.size(); ++keyIdx) {
        key_[keyIdx] = row[child.sharedWithParent[keyIdx].second];
      }
      return state.sharedKeys.contains(key_.data());
    }
    if (state.probeIndex == nullptr) {
      state.probeIndex = &indexes_.get(child.operand, child.probeSlots);
    }
    key_ = state.anchorKey;
    for (const auto& pair : child.sharedWithParent) key_.push_back(row[pair.second]);
    return !state.probeIndex->lookup(key_.data()).empty();
  }

  bool survives(const PruneNode& node, std::uint32_t tuple, std::uint32_t skipChild) {
    for (std::uint32_t childIdx = 0; childIdx < node.children.size(); ++childIdx) {
      if (childIdx == skipChild) continue;
      ++stats_.candidateSteps;
      if (!hasPartner(node, tuple, node.children[childIdx])) return false;
    }
    return true;
  }

  void computeNode(std::size_t nodeIdx) {
    const PruneNode& node = nodes_[nodeIdx];
    NodeState& state = states_[nodeIdx];
    state.survivors.clear();
    // The child offering the fewest keys, against the node's own tuples.
    std::uint32_t best = 0;
    std::size_t bestSize = SIZE_MAX;
    for (std::uint32_t childIdx = 0; childIdx < node.children.size(); ++childIdx) {
      const std::size_t size = offered(node.children[childIdx]);
      if (size < bestSize) {
        best = childIdx;
        bestSize = size;
      }
    }
    const std::span<const std::uint32_t> own = state.anchored;
    const EncodedOperand& operand = encoded_.operands[node.operand];
    if (own.size() <= bestSize) {
      stats_.candidateSteps += own.size();
      for (std::size_t at = 0; at < own.size(); ++at) {
        prefetchRow(operand, own, at);
        if (survives(node, own[at], UINT32_MAX)) state.survivors.push_back(own[at]);
      }
    } else if (keysFromChild(nodeIdx)) {
      return;
    } else {
      fromChild(nodeIdx, best);
    }
    if (node.parent == UINT32_MAX) return;
    state.sharedKeys.clear();
    std::vector<std::uint32_t>& key = key_;
    key.resize(node.sharedWithParent.size());
    for (std::size_t at = 0; at < state.survivors.size(); ++at) {
      prefetchRow(operand, state.survivors, at);
      const std::uint32_t* row = operand.row(state.survivors[at]);
      for (std::size_t keyIdx = 0; keyIdx < key.size(); ++keyIdx) {
        key[keyIdx] = row[node.sharedWithParent[keyIdx].first];
      }
      state.sharedKeys.insert(key.data());
    }
    stats_.candidateSteps += state.survivors.size();
  }

  // The keys leaf `leafIdx` offers its parent, from its anchored tuples,
  // each once, in the order first seen.
  const KeySet& leafKeys(std::uint32_t leafIdx) {
    const PruneNode& leaf = nodes_[leafIdx];
    NodeState& state = states_[leafIdx];
    state.seenKeys.clear();
    std::vector<std::uint32_t>& key = childKey_;
    key.resize(leaf.sharedWithParent.size());
    const std::span<const std::uint32_t> tuples = state.anchored;
    stats_.candidateSteps += tuples.size();
    const EncodedOperand& operand = encoded_.operands[leaf.operand];
    for (std::size_t at = 0; at < tuples.size(); ++at) {
      prefetchRow(operand, tuples, at);
      const std::uint32_t* row = operand.row(tuples[at]);
      for (std::size_t keyIdx = 0; keyIdx < key.size(); ++keyIdx) {
        key[keyIdx] = row[leaf.sharedWithParent[keyIdx].first];
      }
      state.seenKeys.insert(key.data());
    }
    return state.seenKeys;
  }

  // The child's index, found on first use.
  const IdIndex& childIndex(std::size_t nodeIdx, std::uint32_t childIdx) {
    const PruneNode& node = nodes_[nodeIdx];
    NodeState& state = states_[nodeIdx];
    if (state.childIndex[childIdx] == nullptr) {
      const IdIndex& index = indexes_.get(node.operand, node.childSlots[childIdx]);
      state.childIndex[childIdx] = &index;
      // Where the index carries what the node shares with its parent.
      std::vector<std::uint32_t> shared;
      for (const auto& pair : node.sharedWithParent) shared.push_back(pair.first);
      state.carriedAt = index.carriedPlaces(shared);
    }
    return *state.childIndex[childIdx];
  }

  // The keys an inner node with one child offers its parent, found through
  // the keys the child offers, where the index that finds the node's tuples
  // carries them: every tuple found survives, and only its keys are needed,
  // so no tuple's row is read. Returns false where that does not apply.
  bool keysFromChild(std::size_t nodeIdx) {
    const PruneNode& node = nodes_[nodeIdx];
    NodeState& state = states_[nodeIdx];
    if (node.parent == UINT32_MAX || node.children.size() != 1) return false;
    const IdIndex& index = childIndex(nodeIdx, 0);
    if (state.carriedAt.empty()) return false;
    const PruneNode& child = nodes_[node.children[0]];
    NodeState& childState = states_[node.children[0]];
    const std::size_t width = child.sharedWithParent.size();
    // The child's keys, each once.
    const KeySet& keys =
        child.children.empty() ? leafKeys(node.children[0]) : childState.sharedKeys;
    const std::uint32_t* childKeys = keys.key(0);
    const std::size_t childKeyCount = keys.size();
    // The groups of the node's tuples, then their carried ids: the groups
    // lie at random places, so all are asked for before any is read.
    std::vector<std::uint32_t>& lookupKey = lookupKey_;
    lookupKey.assign(state.anchorKey.begin(), state.anchorKey.end());
    lookupKey.resize(state.anchorKey.size() + width);
    groups_.clear();
    for (std::size_t entry = 0; entry < childKeyCount; ++entry) {
      std::copy_n(childKeys + entry * width, width,
                  lookupKey.begin() + static_cast<std::ptrdiff_t>(state.anchorKey.size()));
      const auto found = index.lookup(lookupKey.data());
      stats_.candidateSteps += 1 + found.size();
      if (found.empty()) continue;
      __builtin_prefetch(index.carried(found));
      groups_.push_back(found);
    }
    const std::size_t carriedWidth = index.carriedSlots().size();
    state.sharedKeys.clear();
    std::vector<std::uint32_t>& key = key_;
    key.resize(state.carriedAt.size());
    for (const std::span<const std::uint32_t> found : groups_) {
      stats_.candidateSteps += found.size();
      stats_.carriedKeys += found.size();
      const std::uint32_t* carried = index.carried(found);
      for (std::size_t at = 0; at < found.size(); ++at, carried += carriedWidth) {
        for (std::size_t keyIdx = 0; keyIdx < key.size(); ++keyIdx) {
          key[keyIdx] = carried[state.carriedAt[keyIdx]];
        }
        state.sharedKeys.insert(key.data());
      }
    }
    return true;
  }

  // Finds the node's tuples through the keys child `childIdx` offers: each
  // distinct key leads to its own group of tuples, so no tuple is found
  // twice; the groups are merged into ascending order by a sort.
  void fromChild(std::size_t nodeIdx, std::uint32_t childIdx) {
    const PruneNode& node = nodes_[nodeIdx];
    NodeState& state = states_[nodeIdx];
    const PruneNode& child = nodes_[node.children[childIdx]];
    NodeState& childState = states_[node.children[childIdx]];
    const IdIndex& index = childIndex(nodeIdx, childIdx);
    const EncodedOperand& operand = encoded_.operands[node.operand];
    std::vector<std::uint32_t>& lookupKey = lookupKey_;
    lookupKey.assign(state.anchorKey.begin(), state.anchorKey.end());
    const std::size_t width = child.sharedWithParent.size();
    lookupKey.resize(state.anchorKey.size() + width);
    auto visit = [&](const std::uint32_t* key) {
      std::copy(key, key + width,
                lookupKey.begin() + static_cast<std::ptrdiff_t>(state.anchorKey.size()));
      const auto found = index.lookup(lookupKey.data());
      stats_.candidateSteps += 1 + found.size();
      if (node.children.size() == 1) {
        // No other child to check: every tuple found survives.
        state.survivors.insert(state.survivors.end(), found.begin(), found.end());
        return;
      }
      for (std::size_t at = 0; at < found.size(); ++at) {
        prefetchRow(operand, found, at);
        if (survives(node, found[at], childIdx)) state.survivors.push_back(found[at]);
      }
    };
    const KeySet& keys =
        child.children.empty() ? leafKeys(node.children[childIdx]) : childState.sharedKeys;
    for (std::uint32_t entry = 0; entry < keys.size(); ++entry) visit(keys.key(entry));
    // The root's survivors are the level's candidates, visited in ascending
    // order; an inner node's only offer their keys to its parent.
    if (node.parent == UINT32_MAX) std::sort(state.survivors.begin(), state.survivors.end());
  }

  const std::vector<PruneNode>& nodes_;
  std::vector<NodeState>& states_;
  const EncodedView& encoded_;
  IndexCache& indexes_;
  JoinStats& stats_;
  std::vector<std::uint32_t>& key_;
  std::vector<std::uint32_t>& lookupKey_;
  std::vector<std::uint32_t>& childKey_;
  std::vector<std::span<const std::uint32_t>>& groups_;
};

// Whether the ids of `row` in `slots` are `key`.
bool matches(const std::uint32_t* row, std::span<const std::uint32_t> slots,
             const std::vector<std::uint32_t>& key) {
  for (std::size_t keyIdx = 0; keyIdx < slots.size(); ++keyIdx) {
    if (row[slots[keyIdx]] != key[keyIdx]) return false;
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
  Pruner pruner(*pruning, cache, states, encoded, indexes, stats);
  if (!cache.memo) {
    cache.memo.emplace(cache.key.size(), kMemoPerTuple * operand.aliveCount() + kMemoSlack);
  }
  if (cache.memo->consult(cache.key.data())) {
    if (const auto candidates = cache.memo->find(cache.key.data())) {
      pruner.locate(chosen);
      cache.candidates.assign(candidates->begin(), candidates->end());
      return cache.candidates;
    }
  }
  const std::uint64_t stepsBefore = stats.candidateSteps;
  pruner.run(chosen);
  cache.candidates.swap(cache.nodes[0].survivors);
  cache.memo->computed(cache.key.data(), cache.candidates, stats.candidateSteps - stepsBefore);
  return cache.candidates;
}

}  // namespace natjoin
