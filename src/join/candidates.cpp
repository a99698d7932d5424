#include <algorithm>

#include "join/levels.h"

namespace natjoin {
namespace {

// The most inherited tuples a level filters instead of looking up.
constexpr std::size_t kMaxInherited = 16;
// How many remembered candidates a level may keep, per tuple of its operand
// and in all.
constexpr std::size_t kMemoPerTuple = 4;
constexpr std::size_t kMemoSlack = std::size_t{1} << 16;

void readKey(const std::vector<KeySource>& sources, const EncodedView& encoded,
             const std::vector<std::uint32_t>& chosen, std::vector<std::uint32_t>& key) {
  key.resize(sources.size());
  for (std::size_t keyIdx = 0; keyIdx < sources.size(); ++keyIdx) {
    const KeySource& source = sources[keyIdx];
    key[keyIdx] = encoded.operands[source.operand].id(chosen[source.operand], source.slot);
  }
}

std::vector<std::uint32_t> concat(const std::vector<std::uint32_t>& slots, const SlotPairs& pairs,
                                  bool second) {
  std::vector<std::uint32_t> result(slots);
  for (const auto& pair : pairs) result.push_back(second ? pair.second : pair.first);
  return result;
}

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
  Pruner(Level& level, const EncodedView& encoded, IndexCache& indexes, JoinStats& stats)
      : level_(level), encoded_(encoded), indexes_(indexes), stats_(stats) {}

  void run(const std::vector<std::uint32_t>& chosen) {
    locate(chosen);
    auto& nodes = level_.nodes;
    for (std::size_t nodeIdx = nodes.size(); nodeIdx-- > 0;) {
      if (!nodes[nodeIdx].children.empty()) computeNode(nodes[nodeIdx]);
    }
  }

  // Finds each node's tuples that agree with its anchors; later levels may
  // filter these (Level::inheritLevel), so they are kept current even where
  // the candidates come from the memo.
  void locate(const std::vector<std::uint32_t>& chosen) {
    auto& nodes = level_.nodes;
    for (PruneNode& node : nodes) {
      readKey(node.anchorSources, encoded_, chosen, node.anchorKey);
      if (node.anchorIndex == nullptr) {
        node.anchorIndex = &indexes_.get(node.operand, node.anchorSlots);
      }
      node.anchored = node.anchorIndex->lookup(node.anchorKey.data());
    }
  }

 private:
  // How many keys a child offers its parent.
  std::size_t offered(PruneNode& child) {
    return child.children.empty() ? child.anchored.size() : child.sharedKeys.size();
  }

  // Whether `tuple` of `node` has a partner in `child`.
  bool hasPartner(const PruneNode& node, std::uint32_t tuple, PruneNode& child) {
    const std::uint32_t* row = encoded_.operands[node.operand].row(tuple);
    if (!child.children.empty()) {
      key_.resize(child.sharedWithParent.size());
      for (std::size_t keyIdx = 0; keyIdx < key_.size(); ++keyIdx) {
        key_[keyIdx] = row[child.sharedWithParent[keyIdx].second];
      }
      return child.sharedKeys.contains(key_.data());
    }
    if (child.probeIndex == nullptr) {
      child.probeIndex =
          &indexes_.get(child.operand, concat(child.anchorSlots, child.sharedWithParent, false));
    }
    key_ = child.anchorKey;
    for (const auto& pair : child.sharedWithParent) key_.push_back(row[pair.second]);
    return !child.probeIndex->lookup(key_.data()).empty();
  }

  bool survives(const PruneNode& node, std::uint32_t tuple, std::uint32_t skipChild) {
    for (std::uint32_t childIdx = 0; childIdx < node.children.size(); ++childIdx) {
      if (childIdx == skipChild) continue;
      ++stats_.candidateSteps;
      if (!hasPartner(node, tuple, level_.nodes[node.children[childIdx]])) return false;
    }
    return true;
  }

  void computeNode(PruneNode& node) {
    node.survivors.clear();
    // The child offering the fewest keys, against the node's own tuples.
    std::uint32_t best = 0;
    std::size_t bestSize = SIZE_MAX;
    for (std::uint32_t childIdx = 0; childIdx < node.children.size(); ++childIdx) {
      const std::size_t size = offered(level_.nodes[node.children[childIdx]]);
      if (size < bestSize) {
        best = childIdx;
        bestSize = size;
      }
    }
    const std::span<const std::uint32_t> own = node.anchored;
    const EncodedOperand& operand = encoded_.operands[node.operand];
    if (own.size() <= bestSize) {
      stats_.candidateSteps += own.size();
      for (std::size_t at = 0; at < own.size(); ++at) {
        prefetchRow(operand, own, at);
        if (survives(node, own[at], UINT32_MAX)) node.survivors.push_back(own[at]);
      }
    } else {
      fromChild(node, best);
    }
    if (node.parent == UINT32_MAX) return;
    node.sharedKeys.clear();
    std::vector<std::uint32_t>& key = key_;
    key.resize(node.sharedWithParent.size());
    for (std::size_t at = 0; at < node.survivors.size(); ++at) {
      prefetchRow(operand, node.survivors, at);
      const std::uint32_t* row = operand.row(node.survivors[at]);
      for (std::size_t keyIdx = 0; keyIdx < key.size(); ++keyIdx) {
        key[keyIdx] = row[node.sharedWithParent[keyIdx].first];
      }
      node.sharedKeys.insert(key.data());
    }
    stats_.candidateSteps += node.survivors.size();
  }

  // Finds the node's tuples through the keys child `childIdx` offers: each
  // distinct key leads to its own group of tuples, so no tuple is found
  // twice; the groups are merged into ascending order by a sort.
  void fromChild(PruneNode& node, std::uint32_t childIdx) {
    PruneNode& child = level_.nodes[node.children[childIdx]];
    if (node.childIndex[childIdx] == nullptr) {
      node.childIndex[childIdx] =
          &indexes_.get(node.operand, concat(node.anchorSlots, child.sharedWithParent, true));
    }
    const IdIndex& index = *node.childIndex[childIdx];
    const EncodedOperand& operand = encoded_.operands[node.operand];
    std::vector<std::uint32_t>& lookupKey = lookupKey_;
    lookupKey.assign(node.anchorKey.begin(), node.anchorKey.end());
    const std::size_t width = child.sharedWithParent.size();
    lookupKey.resize(node.anchorKey.size() + width);
    auto visit = [&](const std::uint32_t* key) {
      std::copy(key, key + width,
                lookupKey.begin() + static_cast<std::ptrdiff_t>(node.anchorKey.size()));
      const auto found = index.lookup(lookupKey.data());
      stats_.candidateSteps += 1 + found.size();
      if (node.children.size() == 1) {
        // No other child to check: every tuple found survives.
        node.survivors.insert(node.survivors.end(), found.begin(), found.end());
        return;
      }
      for (std::size_t at = 0; at < found.size(); ++at) {
        prefetchRow(operand, found, at);
        if (survives(node, found[at], childIdx)) node.survivors.push_back(found[at]);
      }
    };
    if (child.children.empty()) {
      child.seenKeys.clear();
      std::vector<std::uint32_t>& key = childKey_;
      key.resize(width);
      const std::span<const std::uint32_t> tuples = child.anchored;
      stats_.candidateSteps += tuples.size();
      const EncodedOperand& childOperand = encoded_.operands[child.operand];
      for (std::size_t at = 0; at < tuples.size(); ++at) {
        prefetchRow(childOperand, tuples, at);
        const std::uint32_t* row = childOperand.row(tuples[at]);
        for (std::size_t keyIdx = 0; keyIdx < width; ++keyIdx) {
          key[keyIdx] = row[child.sharedWithParent[keyIdx].first];
        }
        // One tuple offers one key: nothing to tell apart.
        if (tuples.size() == 1) {
          visit(key.data());
          break;
        }
        const std::size_t before = child.seenKeys.size();
        child.seenKeys.insert(key.data());
        if (child.seenKeys.size() != before) visit(key.data());
      }
    } else {
      for (std::uint32_t entry = 0; entry < child.sharedKeys.size(); ++entry) {
        visit(child.sharedKeys.key(entry));
      }
    }
    // The root's survivors are the level's candidates, visited in ascending
    // order; an inner node's only offer their keys to its parent.
    if (node.parent == UINT32_MAX) std::sort(node.survivors.begin(), node.survivors.end());
  }

  Level& level_;
  const EncodedView& encoded_;
  IndexCache& indexes_;
  JoinStats& stats_;
  std::vector<std::uint32_t>& key_ = level_.cache.get().scratchKey;
  std::vector<std::uint32_t>& lookupKey_ = level_.cache.get().scratchLookup;
  std::vector<std::uint32_t>& childKey_ = level_.cache.get().scratchChild;
};

}  // namespace

std::span<const std::uint32_t> findCandidates(std::vector<Level>& levels, std::size_t levelIdx,
                                              const EncodedView& encoded, IndexCache& indexes,
                                              const std::vector<std::uint32_t>& chosen,
                                              JoinStats& stats) {
  Level& level = levels[levelIdx];
  if (level.nodes.empty() && level.inheritLevel != UINT32_MAX) {
    const std::span<const std::uint32_t> inherited =
        levels[level.inheritLevel].nodes[level.inheritNode].anchored;
    if (inherited.size() <= kMaxInherited) {
      readKey(level.filterSources, encoded, chosen, level.lookupKey);
      const EncodedOperand& operand = encoded.operands[level.operand];
      std::vector<std::uint32_t>& candidates = level.cache.get().candidates;
      candidates.clear();
      for (const std::uint32_t tuple : inherited) {
        const std::uint32_t* row = operand.row(tuple);
        bool match = true;
        for (std::size_t keyIdx = 0; keyIdx < level.filterSlots.size() && match; ++keyIdx) {
          match = row[level.filterSlots[keyIdx]] == level.lookupKey[keyIdx];
        }
        if (match) candidates.push_back(tuple);
      }
      return candidates;
    }
  }
  if (level.nodes.empty()) {
    readKey(level.boundSources, encoded, chosen, level.lookupKey);
    const EncodedOperand& operand = encoded.operands[level.operand];
    // A few tuples are checked one by one: an index for them would cost
    // more memory than the tuples, in a join of thousands of tiny operands.
    if (operand.aliveCount() <= kMaxScannedTuples) {
      level.scanned.clear();
      for (std::size_t rank = 0; rank < operand.aliveCount(); ++rank) {
        const std::uint32_t tuple = operand.aliveAt(rank);
        const std::uint32_t* row = operand.row(tuple);
        bool match = true;
        for (std::size_t keyIdx = 0; keyIdx < level.boundSlots.size() && match; ++keyIdx) {
          match = row[level.boundSlots[keyIdx]] == level.lookupKey[keyIdx];
        }
        if (match) level.scanned.push_back(tuple);
      }
      return level.scanned;
    }
    if (level.index == nullptr) level.index = &indexes.get(level.operand, level.boundSlots);
    return level.index->lookup(level.lookupKey.data());
  }
  LevelCache& cache = level.cache.get();
  if (cache.valid) {
    bool same = true;
    for (std::size_t keyIdx = 0; keyIdx < level.cacheSources.size() && same; ++keyIdx) {
      const KeySource& source = level.cacheSources[keyIdx];
      same = encoded.operands[source.operand].id(chosen[source.operand], source.slot) ==
             cache.key[keyIdx];
    }
    if (same) return cache.candidates;
  }
  readKey(level.cacheSources, encoded, chosen, cache.key);
  cache.valid = true;
  Pruner pruner(level, encoded, indexes, stats);
  if (!cache.memo) {
    cache.memo.emplace(cache.key.size(),
                       kMemoPerTuple * encoded.operands[level.operand].aliveCount() + kMemoSlack);
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
  cache.candidates.swap(level.nodes[0].survivors);
  cache.memo->computed(cache.key.data(), cache.candidates, stats.candidateSteps - stepsBefore);
  return cache.candidates;
}

void prefetchLevel(std::vector<Level>& levels, std::size_t levelIdx, const EncodedView& encoded,
                   IndexCache& indexes, const std::vector<std::uint32_t>& chosen, Prefetch stage) {
  Level& level = levels[levelIdx];
  if (!level.nodes.empty()) {
    // The tuples of a node anchored by the prefix are read by the pruning,
    // and where few, written by a later level that filters them.
    std::vector<std::uint32_t>& key = level.cache.get().scratchKey;
    for (std::size_t nodeIdx = 1; nodeIdx < level.nodes.size(); ++nodeIdx) {
      const PruneNode& node = level.nodes[nodeIdx];
      if (node.anchorIndex == nullptr || node.anchorSources.empty()) continue;
      readKey(node.anchorSources, encoded, chosen, key);
      if (stage == Prefetch::kGroup) {
        node.anchorIndex->prefetchGroup(key.data());
        continue;
      }
      if (stage == Prefetch::kMembers) {
        node.anchorIndex->prefetchMembers(key.data());
        continue;
      }
      const std::span<const std::uint32_t> found = node.anchorIndex->lookup(key.data());
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
  if (level.inheritLevel != UINT32_MAX || level.boundSlots.empty()) return;
  const EncodedOperand& operand = encoded.operands[level.operand];
  if (operand.aliveCount() <= kMaxScannedTuples) return;
  if (level.index == nullptr) level.index = &indexes.get(level.operand, level.boundSlots);
  readKey(level.boundSources, encoded, chosen, level.lookupKey);
  const IdIndex& index = *level.index;
  switch (stage) {
    case Prefetch::kGroup:
      index.prefetchGroup(level.lookupKey.data());
      return;
    case Prefetch::kMembers:
      index.prefetchMembers(level.lookupKey.data());
      return;
    case Prefetch::kStart:
    case Prefetch::kText:
      break;
  }
  const std::span<const std::uint32_t> found = index.lookup(level.lookupKey.data());
  if (found.empty()) return;
  if (stage == Prefetch::kStart) {
    operand.prefetchStart(found[0]);
  } else {
    operand.prefetchShown(found[0]);
  }
}

}  // namespace natjoin
