#include <algorithm>
#include <exception>
#include <new>
#include <optional>

#include "join/join_tree.h"
#include "join/levels.h"

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

std::vector<std::uint32_t> concat(const std::vector<std::uint32_t>& slots, const SlotPairs& pairs,
                                  bool second) {
  std::vector<std::uint32_t> result(slots);
  for (const auto& pair : pairs) result.push_back(second ? pair.second : pair.first);
  return result;
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
      const auto shared = forest.sharedWithParent(member);
      node.sharedWithParent.assign(shared.begin(), shared.end());
      nodes[node.parent].children.push_back(nodeOf[member]);
    }
  }
  if (nodes.size() == 1) nodes.clear();
  for (PruneNode& node : nodes) {
    node.probeSlots = concat(node.anchorSlots, node.sharedWithParent, false);
    for (const std::uint32_t child : node.children) {
      node.childSlots.push_back(concat(node.anchorSlots, nodes[child].sharedWithParent, true));
    }
  }
  return nodes;
}

bool sourceBefore(const KeySource& a, const KeySource& b) {
  return a.operand != b.operand ? a.operand < b.operand : a.slot < b.slot;
}

// The values a pruning depends on, each once.
std::vector<KeySource> cacheSourcesOf(const std::vector<PruneNode>& nodes) {
  std::vector<KeySource> sources;
  for (const PruneNode& node : nodes) {
    sources.insert(sources.end(), node.anchorSources.begin(), node.anchorSources.end());
  }
  // Nodes anchored on one variable read it from one place.
  std::sort(sources.begin(), sources.end(), sourceBefore);
  sources.erase(std::unique(sources.begin(), sources.end(),
                            [](const KeySource& a, const KeySource& b) {
                              return !sourceBefore(a, b) && !sourceBefore(b, a);
                            }),
                sources.end());
  return sources;
}

// The pruning of `pruning`'s level without the root's anchors read from
// levels after all the other nodes' anchors, if it has such anchors (see
// Pruning::split); records them in `pruning`.
std::optional<Pruning> splitAtRoot(Pruning& pruning) {
  std::uint32_t outerLevel = 0;
  bool outer = false;
  for (std::size_t nodeIdx = 1; nodeIdx < pruning.nodes.size(); ++nodeIdx) {
    for (const KeySource& source : pruning.nodes[nodeIdx].anchorSources) {
      outerLevel = std::max(outerLevel, source.operand);
      outer = true;
    }
  }
  if (!outer) return std::nullopt;
  Pruning split;
  split.nodes = pruning.nodes;
  PruneNode& root = split.nodes[0];
  root.anchorSlots.clear();
  root.anchorSources.clear();
  const PruneNode& whole = pruning.nodes[0];
  std::size_t lateCount = 0;
  for (std::size_t anchorIdx = 0; anchorIdx < whole.anchorSlots.size(); ++anchorIdx) {
    if (whole.anchorSources[anchorIdx].operand > outerLevel) {
      ++lateCount;
      pruning.lateSlot = whole.anchorSlots[anchorIdx];
      pruning.lateSource = whole.anchorSources[anchorIdx];
    } else {
      root.anchorSlots.push_back(whole.anchorSlots[anchorIdx]);
      root.anchorSources.push_back(whole.anchorSources[anchorIdx]);
    }
  }
  // Candidates are grouped by one late id.
  if (lateCount != 1) return std::nullopt;
  root.probeSlots = root.anchorSlots;
  root.childSlots.clear();
  for (const std::uint32_t child : root.children) {
    root.childSlots.push_back(concat(root.anchorSlots, split.nodes[child].sharedWithParent, true));
  }
  split.cacheSources = cacheSourcesOf(split.nodes);
  return split;
}

// The same where the late anchor is a leaf child's of the root, its only
// one: the pruning without that leaf.
std::optional<Pruning> splitAtLeaf(Pruning& pruning) {
  const std::vector<PruneNode>& nodes = pruning.nodes;
  std::uint32_t latest = 0;
  for (const PruneNode& node : nodes) {
    for (const KeySource& source : node.anchorSources) latest = std::max(latest, source.operand);
  }
  std::uint32_t leaf = kNone;
  std::uint32_t holders = 0;
  for (std::uint32_t nodeIdx = 0; nodeIdx < nodes.size(); ++nodeIdx) {
    const auto& sources = nodes[nodeIdx].anchorSources;
    if (std::any_of(sources.begin(), sources.end(),
                    [&](const KeySource& source) { return source.operand == latest; })) {
      ++holders;
      leaf = nodeIdx;
    }
  }
  if (holders != 1 || leaf == 0) return std::nullopt;
  const PruneNode& late = nodes[leaf];
  if (late.parent != 0 || !late.children.empty() || late.anchorSlots.size() != 1) {
    return std::nullopt;
  }
  Pruning split;
  for (std::uint32_t nodeIdx = 0; nodeIdx < nodes.size(); ++nodeIdx) {
    if (nodeIdx == leaf) continue;
    PruneNode node = nodes[nodeIdx];
    auto renumber = [&](std::uint32_t idx) { return idx > leaf ? idx - 1 : idx; };
    if (node.parent != UINT32_MAX) node.parent = renumber(node.parent);
    if (nodeIdx == 0) {
      const auto at = std::find(node.children.begin(), node.children.end(), leaf);
      node.childSlots.erase(node.childSlots.begin() + (at - node.children.begin()));
      node.children.erase(at);
    }
    for (std::uint32_t& child : node.children) child = renumber(child);
    split.nodes.push_back(std::move(node));
  }
  split.cacheSources = cacheSourcesOf(split.nodes);
  if (split.cacheSources.empty()) return std::nullopt;
  pruning.lateNode = leaf;
  pruning.lateSlot = late.anchorSlots[0];
  pruning.lateSource = late.anchorSources[0];
  return split;
}

// The pruning without its late anchors, if it has them (Pruning::split).
std::optional<Pruning> splitPruning(Pruning& pruning) {
  if (std::optional<Pruning> split = splitAtRoot(pruning)) return split;
  return splitAtLeaf(pruning);
}

}  // namespace

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

IndexCache::Entry& IndexCache::entry(std::uint32_t operand, std::span<const std::uint32_t> slots) {
  std::lock_guard lock(mutex_);
  auto& slot = indexes_[{operand, std::vector<std::uint32_t>(slots.begin(), slots.end())}];
  if (!slot) slot = std::make_unique<Entry>();
  return *slot;
}

void IndexCache::carry(std::uint32_t operand, std::span<const std::uint32_t> slots,
                       std::span<const std::uint32_t> carried) {
  std::vector<std::uint32_t>& all = entry(operand, slots).carried;
  for (const std::uint32_t slot : carried) {
    if (std::find(all.begin(), all.end(), slot) == all.end()) all.push_back(slot);
  }
}

const IdIndex& IndexCache::get(std::uint32_t operand, std::span<const std::uint32_t> slots) {
  Entry& held = entry(operand, slots);
  // Nothing may be thrown through call_once: glibc would then load the
  // unwinder, which may fail where memory just ran out, and abort. What
  // building throws is thrown again after; a thread whose build failed
  // leaves no index, and threads that come later run out of memory too.
  std::exception_ptr error;
  std::call_once(held.built, [&] {
    try {
      held.index = std::make_unique<IdIndex>(encoded_.operands[operand],
                                             std::vector<std::uint32_t>(slots.begin(), slots.end()),
                                             hashIds, held.carried, threads_);
    } catch (...) {
      error = std::current_exception();
    }
  });
  if (error) std::rethrow_exception(error);
  if (!held.index) throw std::bad_alloc();
  return *held.index;
}

LevelCache& LevelStates::cache(const JoinPlan& plan, std::size_t levelIdx) {
  if (caches_.empty()) caches_.resize(indexes_.size());
  std::unique_ptr<LevelCache>& cache = caches_[levelIdx];
  if (!cache) cache = makeCache(plan.pruningOf(plan.levels[levelIdx]));
  return *cache;
}

std::unique_ptr<LevelCache> LevelStates::makeCache(const Pruning* pruning) {
  auto cache = std::make_unique<LevelCache>();
  if (pruning == nullptr) return cache;
  cache->nodes.resize(pruning->nodes.size());
  for (std::size_t nodeIdx = 0; nodeIdx < pruning->nodes.size(); ++nodeIdx) {
    const PruneNode& node = pruning->nodes[nodeIdx];
    NodeState& state = cache->nodes[nodeIdx];
    state.childIndex.assign(node.children.size(), nullptr);
    state.sharedKeys = KeySet(node.sharedWithParent.size());
    state.seenKeys = KeySet(node.sharedWithParent.size());
  }
  return cache;
}

void carryPruningKeys(const JoinPlan& plan, IndexCache& indexes) {
  for (const Pruning& pruning : plan.prunings) {
    for (const PruneNode& node : pruning.nodes) {
      if (node.parent == UINT32_MAX || node.children.size() != 1) continue;
      std::vector<std::uint32_t> shared;
      for (const auto& pair : node.sharedWithParent) shared.push_back(pair.first);
      indexes.carry(node.operand, node.childSlots[0], shared);
    }
  }
}

std::span<const std::uint32_t> sortedSlots(const PruneNode& node, const EncodedOperand& operand) {
  std::span<const std::uint32_t> slots;
  if (node.children.empty()) {
    slots = node.probeSlots;
  } else if (node.children.size() == 1) {
    slots = node.childSlots[0];
  }
  const std::size_t anchors = node.anchorSlots.size();
  if (anchors == 0 || slots.size() <= anchors || IdIndex::leadingFor(operand, slots) != anchors) {
    return {};
  }
  return slots;
}

std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> indexesUsed(
    const JoinPlan& plan, const EncodedJoin& encoded, std::size_t levelCount) {
  std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> used;
  for (const Level& level :
       std::span(plan.levels).first(std::min(levelCount, plan.levels.size()))) {
    if (const Pruning* pruning = plan.pruningOf(level)) {
      for (const PruneNode& node : pruning->nodes) {
        const auto sorted = sortedSlots(node, encoded.operands[node.operand]);
        if (sorted.empty()) {
          used.emplace_back(node.operand, node.anchorSlots);
        } else {
          used.emplace_back(node.operand, std::vector<std::uint32_t>(sorted.begin(), sorted.end()));
        }
      }
      continue;
    }
    // A level filtering an earlier one's tuples, or checking a few tuples
    // one by one, may never need its index.
    const auto bound = plan.boundSlots(level);
    if (level.inheritLevel == UINT32_MAX && !bound.empty() &&
        encoded.operands[level.operand].aliveCount() > kMaxScannedTuples) {
      used.emplace_back(level.operand, std::vector<std::uint32_t>(bound.begin(), bound.end()));
    }
  }
  return used;
}

JoinPlan planLevels(const JoinClasses& classes) {
  const Holders holders = findHolders(classes);
  const std::vector<bool> restricted = findRestrictedLevels(classes, holders);
  JoinPlan plan;
  plan.levels.resize(classes.operands.size());
  for (std::uint32_t levelIdx = 0; levelIdx < plan.levels.size(); ++levelIdx) {
    Level& level = plan.levels[levelIdx];
    level.operand = levelIdx;
    level.boundBegin = static_cast<std::uint32_t>(plan.slots.size());
    boundSlotsOf(classes, levelIdx, levelIdx, plan.slots, plan.sources);
    level.boundCount = static_cast<std::uint32_t>(plan.slots.size()) - level.boundBegin;
    if (!restricted[levelIdx]) continue;
    std::vector<PruneNode> nodes = planPruning(classes, holders, levelIdx);
    if (nodes.empty()) continue;
    Pruning pruning;
    pruning.cacheSources = cacheSourcesOf(nodes);
    pruning.nodes = std::move(nodes);
    std::optional<Pruning> split = splitPruning(pruning);
    level.pruning = static_cast<std::uint32_t>(plan.prunings.size());
    plan.prunings.push_back(std::move(pruning));
    if (split) {
      plan.prunings.back().split = static_cast<std::uint32_t>(plan.prunings.size());
      plan.prunings.push_back(std::move(*split));
    }
  }
  // The latest earlier level that prunes through each unpruned operand.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> latest(plan.levels.size(), {UINT32_MAX, 0});
  for (std::uint32_t levelIdx = 0; levelIdx < plan.levels.size(); ++levelIdx) {
    Level& level = plan.levels[levelIdx];
    const auto [inheritLevel, inheritNode] = latest[levelIdx];
    if (level.pruning == Level::kNoPruning && inheritLevel != UINT32_MAX && level.boundCount != 0) {
      const PruneNode& node = plan.pruningOf(plan.levels[inheritLevel])->nodes[inheritNode];
      level.inheritLevel = inheritLevel;
      level.inheritNode = inheritNode;
      plan.prunings[plan.levels[inheritLevel].pruning].inherited = true;
      level.filterBegin = static_cast<std::uint32_t>(plan.slots.size());
      for (std::uint32_t boundIdx = 0; boundIdx < level.boundCount; ++boundIdx) {
        const std::uint32_t slot = plan.slots[level.boundBegin + boundIdx];
        if (std::find(node.anchorSlots.begin(), node.anchorSlots.end(), slot) !=
            node.anchorSlots.end()) {
          continue;
        }
        const KeySource source = plan.sources[level.boundBegin + boundIdx];
        plan.slots.push_back(slot);
        plan.sources.push_back(source);
      }
      level.filterCount = static_cast<std::uint32_t>(plan.slots.size()) - level.filterBegin;
    }
    const Pruning* pruning = plan.pruningOf(level);
    if (pruning == nullptr) continue;
    const auto& nodes = pruning->nodes;
    for (std::uint32_t nodeIdx = 1; nodeIdx < nodes.size(); ++nodeIdx) {
      latest[nodes[nodeIdx].operand] = {levelIdx, nodeIdx};
    }
  }
  plan.slots.shrink_to_fit();
  plan.sources.shrink_to_fit();
  return plan;
}

}  // namespace natjoin
