#include "join/levels.h"

#include <algorithm>

#include "join/join_tree.h"

namespace natjoin {
namespace {

constexpr std::uint32_t kNone = UINT32_MAX;

std::uint32_t slotOf(const OperandVars& operand, std::uint32_t var) {
  return static_cast<std::uint32_t>(
      std::lower_bound(operand.vars.begin(), operand.vars.end(), var) - operand.vars.begin());
}

struct Holders {
  std::vector<std::vector<std::uint32_t>> ofVar;    // operands having each variable
  std::vector<std::vector<std::uint32_t>> firstAt;  // variables by their earliest operand
  std::vector<std::uint32_t> earliestBound;         // per operand, min earliest of its vars
};

Holders findHolders(const JoinClasses& classes) {
  Holders holders;
  const std::size_t count = classes.operands.size();
  holders.ofVar.resize(classes.varCount);
  holders.firstAt.resize(count);
  holders.earliestBound.assign(count, kNone);
  for (std::uint32_t operandIdx = 0; operandIdx < count; ++operandIdx) {
    for (const std::uint32_t var : classes.operands[operandIdx].vars) {
      holders.ofVar[var].push_back(operandIdx);
      holders.earliestBound[operandIdx] =
          std::min(holders.earliestBound[operandIdx], classes.firstOperandOf[var]);
    }
  }
  for (std::uint32_t var = 0; var < classes.varCount; ++var) {
    holders.firstAt[classes.firstOperandOf[var]].push_back(var);
  }
  return holders;
}

// Per level, whether a later operand of its component also has a bound
// variable, so that the level's candidates must be pruned. Components grow
// as the level moves to the front (more operands, fewer bound variables), so
// one sweep from the back with union-find answers every level in about
// linear time.
std::vector<bool> findRestrictedLevels(const JoinClasses& classes, const Holders& holders) {
  const std::size_t count = classes.operands.size();
  std::vector<std::uint32_t> parent(count);
  std::vector<std::uint32_t> minEarliest(holders.earliestBound);
  for (std::uint32_t operandIdx = 0; operandIdx < count; ++operandIdx)
    parent[operandIdx] = operandIdx;
  auto find = [&](std::uint32_t node) {
    while (parent[node] != node) node = parent[node] = parent[parent[node]];
    return node;
  };
  std::vector<bool> restricted(count, false);
  for (std::uint32_t level = static_cast<std::uint32_t>(count); level-- > 0;) {
    std::uint32_t earliest = kNone;
    for (const std::uint32_t var : holders.firstAt[level]) {
      for (const std::uint32_t operand : holders.ofVar[var]) {
        if (operand != level) earliest = std::min(earliest, minEarliest[find(operand)]);
      }
    }
    restricted[level] = earliest < level;
    for (const std::uint32_t var : holders.firstAt[level]) {
      for (const std::uint32_t operand : holders.ofVar[var]) {
        const std::uint32_t a = find(operand);
        const std::uint32_t b = find(level);
        if (a == b) continue;
        parent[a] = b;
        minEarliest[b] = std::min(minEarliest[b], minEarliest[a]);
      }
    }
  }
  return restricted;
}

void boundSlotsOf(const JoinClasses& classes, std::uint32_t operand, std::uint32_t level,
                  std::vector<std::uint32_t>& slots, std::vector<KeySource>& sources) {
  const auto& vars = classes.operands[operand].vars;
  for (std::uint32_t slot = 0; slot < vars.size(); ++slot) {
    const std::uint32_t first = classes.firstOperandOf[vars[slot]];
    if (first >= level) continue;
    slots.push_back(slot);
    sources.push_back({first, slotOf(classes.operands[first], vars[slot])});
  }
}

// The join tree of `level`'s component, cut down to the paths from the root
// to the anchored members.
std::vector<PruneNode> planPruning(const JoinClasses& classes, const Holders& holders,
                                   std::uint32_t level) {
  auto usable = [&](std::uint32_t var) { return classes.firstOperandOf[var] >= level; };
  std::vector<std::uint32_t> members{level};
  std::vector<bool> memberSeen(classes.operands.size(), false);
  std::vector<bool> varSeen(classes.varCount, false);
  memberSeen[level] = true;
  for (std::size_t at = 0; at < members.size(); ++at) {
    for (const std::uint32_t var : classes.operands[members[at]].vars) {
      if (!usable(var) || varSeen[var]) continue;
      varSeen[var] = true;
      for (const std::uint32_t operand : holders.ofVar[var]) {
        if (!memberSeen[operand]) {
          memberSeen[operand] = true;
          members.push_back(operand);
        }
      }
    }
  }
  const JoinForest forest = buildJoinForest(members, classes, usable);
  std::vector<bool> keep(members.size(), false);
  keep[0] = true;
  for (std::size_t at = forest.order.size(); at-- > 0;) {
    const std::uint32_t member = forest.order[at];
    if (holders.earliestBound[members[member]] < level) keep[member] = true;
    if (keep[member] && forest.parent[member] != kNoParent) keep[forest.parent[member]] = true;
  }
  std::vector<PruneNode> nodes;
  std::vector<std::uint32_t> nodeOf(members.size(), kNone);
  for (const std::uint32_t member : forest.order) {
    if (!keep[member] || (member != 0 && forest.parent[member] == kNoParent)) continue;
    nodeOf[member] = static_cast<std::uint32_t>(nodes.size());
    PruneNode& node = nodes.emplace_back();
    node.operand = members[member];
    boundSlotsOf(classes, node.operand, level, node.anchorSlots, node.anchorSources);
    if (member != 0) {
      node.parent = nodeOf[forest.parent[member]];
      node.sharedWithParent = forest.sharedWithParent[member];
      nodes[node.parent].children.push_back(nodeOf[member]);
    }
  }
  if (nodes.size() == 1) nodes.clear();
  for (PruneNode& node : nodes) {
    node.childIndex.assign(node.children.size(), nullptr);
    node.sharedKeys = KeyTable(node.sharedWithParent.size());
    node.seenKeys = KeyTable(node.sharedWithParent.size());
  }
  return nodes;
}

void readKey(const std::vector<KeySource>& sources, const EncodedJoin& encoded,
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

// Computes the survivors of one node from its children's results. Runs on
// the nodes from the last to the first, so children are done first.
class Pruner {
 public:
  Pruner(Level& level, const EncodedJoin& encoded, IndexCache& indexes, JoinStats& stats)
      : level_(level), encoded_(encoded), indexes_(indexes), stats_(stats) {}

  void run(const std::vector<std::uint32_t>& chosen) {
    auto& nodes = level_.nodes;
    for (PruneNode& node : nodes) readKey(node.anchorSources, encoded_, chosen, node.anchorKey);
    for (std::size_t nodeIdx = nodes.size(); nodeIdx-- > 0;) {
      if (!nodes[nodeIdx].children.empty()) computeNode(nodes[nodeIdx]);
    }
  }

 private:
  std::span<const std::uint32_t> anchored(PruneNode& node) {
    if (node.anchorIndex == nullptr)
      node.anchorIndex = &indexes_.get(node.operand, node.anchorSlots);
    return node.anchorIndex->lookup(node.anchorKey.data());
  }

  // How many keys a child offers its parent.
  std::size_t offered(PruneNode& child) {
    return child.children.empty() ? anchored(child).size() : child.sharedKeys.size();
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
    const std::span<const std::uint32_t> own = anchored(node);
    if (own.size() <= bestSize) {
      stats_.candidateSteps += own.size();
      for (const std::uint32_t tuple : own) {
        if (survives(node, tuple, UINT32_MAX)) node.survivors.push_back(tuple);
      }
    } else {
      fromChild(node, best);
    }
    if (node.parent == UINT32_MAX) return;
    node.sharedKeys.clear();
    std::vector<std::uint32_t>& key = key_;
    key.resize(node.sharedWithParent.size());
    for (const std::uint32_t tuple : node.survivors) {
      const std::uint32_t* row = encoded_.operands[node.operand].row(tuple);
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
    std::vector<std::uint32_t> lookupKey(node.anchorKey);
    const std::size_t width = child.sharedWithParent.size();
    lookupKey.resize(node.anchorKey.size() + width);
    auto visit = [&](const std::uint32_t* key) {
      std::copy(key, key + width,
                lookupKey.begin() + static_cast<std::ptrdiff_t>(node.anchorKey.size()));
      const auto found = index.lookup(lookupKey.data());
      stats_.candidateSteps += 1 + found.size();
      for (const std::uint32_t tuple : found) {
        if (survives(node, tuple, childIdx)) node.survivors.push_back(tuple);
      }
    };
    if (child.children.empty()) {
      child.seenKeys.clear();
      std::vector<std::uint32_t> key(width);
      const std::span<const std::uint32_t> tuples = anchored(child);
      stats_.candidateSteps += tuples.size();
      for (const std::uint32_t tuple : tuples) {
        const std::uint32_t* row = encoded_.operands[child.operand].row(tuple);
        for (std::size_t keyIdx = 0; keyIdx < width; ++keyIdx) {
          key[keyIdx] = row[child.sharedWithParent[keyIdx].first];
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
    std::sort(node.survivors.begin(), node.survivors.end());
  }

  Level& level_;
  const EncodedJoin& encoded_;
  IndexCache& indexes_;
  JoinStats& stats_;
  std::vector<std::uint32_t> key_;
};

}  // namespace

const IdIndex& IndexCache::get(std::uint32_t operand, const std::vector<std::uint32_t>& slots) {
  auto& entry = indexes_[{operand, slots}];
  if (!entry) entry = std::make_unique<IdIndex>(encoded_.operands[operand], slots);
  return *entry;
}

std::vector<Level> planLevels(const JoinClasses& classes, const EncodedJoin& /*encoded*/,
                              IndexCache& /*indexes*/) {
  const Holders holders = findHolders(classes);
  const std::vector<bool> restricted = findRestrictedLevels(classes, holders);
  std::vector<Level> levels(classes.operands.size());
  for (std::uint32_t levelIdx = 0; levelIdx < levels.size(); ++levelIdx) {
    Level& level = levels[levelIdx];
    level.operand = levelIdx;
    boundSlotsOf(classes, levelIdx, levelIdx, level.boundSlots, level.boundSources);
    if (restricted[levelIdx]) level.nodes = planPruning(classes, holders, levelIdx);
    for (const PruneNode& node : level.nodes) {
      level.cacheSources.insert(level.cacheSources.end(), node.anchorSources.begin(),
                                node.anchorSources.end());
    }
  }
  return levels;
}

std::span<const std::uint32_t> findCandidates(Level& level, const EncodedJoin& encoded,
                                              IndexCache& indexes,
                                              const std::vector<std::uint32_t>& chosen,
                                              JoinStats& stats) {
  if (level.nodes.empty()) {
    if (level.index == nullptr) level.index = &indexes.get(level.operand, level.boundSlots);
    readKey(level.boundSources, encoded, chosen, level.cacheKey);
    return level.index->lookup(level.cacheKey.data());
  }
  if (level.cached) {
    bool same = true;
    for (std::size_t keyIdx = 0; keyIdx < level.cacheSources.size() && same; ++keyIdx) {
      const KeySource& source = level.cacheSources[keyIdx];
      same = encoded.operands[source.operand].id(chosen[source.operand], source.slot) ==
             level.cacheKey[keyIdx];
    }
    if (same) return level.candidates;
  }
  readKey(level.cacheSources, encoded, chosen, level.cacheKey);
  Pruner(level, encoded, indexes, stats).run(chosen);
  level.candidates.swap(level.nodes[0].survivors);
  level.cached = true;
  return level.candidates;
}

}  // namespace natjoin
