// Pruning a level's candidates through later operands: the join tree of
// the level's component, walked from the anchored leaves to the root.
#include <algorithm>

#include "join/levels.h"
#include "join/sorted_groups.h"

namespace natjoin {
namespace {

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

// Whether `index`, on a node's anchor slots and then others, finds the
// node's anchored tuples as one group sorted by those others.
bool sortsAnchored(const IdIndex& index, const PruneNode& node) {
  return index.restWidth() > 0 && index.leadingWidth() == node.anchorSlots.size();
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
    // A subtree whose anchors have the values they had when it was last
    // computed offers its parent the same keys: it is not computed again.
    // The part of a cycle that hangs from a variable bound early is then
    // computed once per value of that variable, not once per prefix.
    for (std::size_t nodeIdx = nodes_.size(); nodeIdx-- > 0;) {
      const PruneNode& node = nodes_[nodeIdx];
      NodeState& state = states_[nodeIdx];
      bool renewed = !state.computed || state.anchorKey != state.computedFor;
      for (const std::uint32_t child : node.children) renewed = renewed || states_[child].renewed;
      // A node found through its parent's tuples depends on the parent's
      // anchors too; the parent's are compared before it records them.
      if (state.fromParent) {
        const NodeState& parent = states_[node.parent];
        renewed = renewed || parent.anchorKey != parent.computedFor;
      }
      if (!node.children.empty() && (renewed || nodeIdx == 0)) computeNode(nodeIdx);
      state.renewed = renewed;
      state.computed = true;
      state.computedFor = state.anchorKey;
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
        // An index the pruning reads anyway, sorted by other ids, finds the
        // anchored tuples as well as one on the anchors alone would, and
        // saves building that one.
        const auto sorted = sortedSlots(node, encoded_.operands[node.operand]);
        state.anchorSorted = !sorted.empty();
        state.anchorIndex =
            &indexes_.get(node.operand, state.anchorSorted ? sorted : node.anchorSlots);
      }
      if (state.anchorSorted) {
        const IdIndex::SortedGroup group = state.anchorIndex->sortedGroup(state.anchorKey.data());
        state.anchored = {group.members, group.size};
      } else {
        state.anchored = state.anchorIndex->lookup(state.anchorKey.data());
      }
    }
    // The walk reads the rows of the anchored tuples: those of all nodes
    // are asked for at once, so that their cache misses overlap. Tuples
    // found sorted by other ids are merged by those, not read.
    for (std::size_t nodeIdx = 0; nodeIdx < nodes_.size(); ++nodeIdx) {
      if (states_[nodeIdx].anchorSorted) continue;
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
    key_ = state.anchorKey;
    for (const auto& pair : child.sharedWithParent) key_.push_back(row[pair.second]);
    return !probeIndex(childIdx).lookup(key_.data()).empty();
  }

  // The index leaf `leafIdx` is probed through, found on first use.
  const IdIndex& probeIndex(std::uint32_t leafIdx) {
    NodeState& state = states_[leafIdx];
    if (state.probeIndex == nullptr) {
      state.probeIndex = &indexes_.get(nodes_[leafIdx].operand, nodes_[leafIdx].probeSlots);
    }
    return *state.probeIndex;
  }

  // Finds the node's tuples that share ids with child `childIdx` from the
  // node's anchored tuples sorted by those ids, where an index sorts them
  // so: no tuple's row is read, where the other ways read one at a random
  // place per tuple. A leaf's tuples sorted the same way are merged with
  // them; otherwise, where the node has fewer tuples than the child offers
  // keys (`ownFewer`), each key of the node is checked once. Returns false
  // where neither applies.
  bool fromSortedOwn(std::size_t nodeIdx, std::uint32_t childIdx, bool ownFewer) {
    const PruneNode& node = nodes_[nodeIdx];
    NodeState& state = states_[nodeIdx];
    const std::uint32_t childNode = node.children[childIdx];
    const bool leaf = nodes_[childNode].children.empty();
    const IdIndex& own = childIndex(nodeIdx, childIdx);
    if (!sortsAnchored(own, node)) return false;
    const IdIndex::SortedGroup mine = own.sortedGroup(state.anchorKey.data());
    const std::size_t width = own.restWidth();
    if (leaf && sortsAnchored(probeIndex(childNode), nodes_[childNode])) {
      const IdIndex::SortedGroup theirs =
          probeIndex(childNode).sortedGroup(states_[childNode].anchorKey.data());
      stats_.candidateSteps += width == 1 ? intersect<1>(mine, theirs, width, state.survivors)
                                          : intersect<0>(mine, theirs, width, state.survivors);
    } else if (ownFewer) {
      NodeState& childState = states_[childNode];
      std::vector<std::uint32_t>& key = key_;
      key = childState.anchorKey;
      key.resize(childState.anchorKey.size() + width);
      stats_.candidateSteps += mine.size;
      for (std::uint32_t at = 0; at < mine.size;) {
        const std::uint32_t* rest = mine.rest + std::size_t{at} * width;
        std::uint32_t end = at + 1;
        while (end < mine.size &&
               compareIds<0>(mine.rest + std::size_t{end} * width, rest, width) == 0) {
          ++end;
        }
        bool partner = false;
        if (leaf) {
          std::copy_n(rest, width, key.end() - static_cast<std::ptrdiff_t>(width));
          partner = !probeIndex(childNode).lookup(key.data()).empty();
        } else {
          partner = childState.sharedKeys.contains(rest);
        }
        if (partner) {
          state.survivors.insert(state.survivors.end(), mine.members + at, mine.members + end);
        }
        at = end;
      }
    } else {
      return false;
    }
    if (node.children.size() > 1) {
      // The other children are asked tuple by tuple.
      const EncodedOperand& operand = encoded_.operands[node.operand];
      std::vector<std::uint32_t>& survivors = state.survivors;
      std::size_t kept = 0;
      for (std::size_t at = 0; at < survivors.size(); ++at) {
        prefetchRow(operand, survivors, at);
        if (survives(node, survivors[at], childIdx)) survivors[kept++] = survivors[at];
      }
      survivors.resize(kept);
    }
    if (node.parent == UINT32_MAX) std::sort(state.survivors.begin(), state.survivors.end());
    return true;
  }

  // Whether `tuple` has a partner in every child but `skipChild` and those
  // `decided` marks.
  bool survives(const PruneNode& node, std::uint32_t tuple, std::uint32_t skipChild,
                const std::vector<std::uint8_t>* decided = nullptr) {
    for (std::uint32_t childIdx = 0; childIdx < node.children.size(); ++childIdx) {
      if (childIdx == skipChild || (decided != nullptr && (*decided)[childIdx] != 0)) continue;
      ++stats_.candidateSteps;
      if (!hasPartner(node, tuple, node.children[childIdx])) return false;
    }
    return true;
  }

  // Marks in state.decided the children of the node, other than
  // `keyChild`, that share with it only slots `keyChild` shares too: for
  // the tuples found through one key of `keyChild`, each of those has a
  // partner for all or for none. Returns how many it marked.
  std::size_t markDecided(const PruneNode& node, NodeState& state, std::uint32_t keyChild) {
    const SlotPairs& keyShared = nodes_[node.children[keyChild]].sharedWithParent;
    state.decided.assign(node.children.size(), 0);
    std::size_t marked = 0;
    for (std::uint32_t childIdx = 0; childIdx < node.children.size(); ++childIdx) {
      if (childIdx == keyChild) continue;
      const SlotPairs& shared = nodes_[node.children[childIdx]].sharedWithParent;
      const bool covered = std::all_of(shared.begin(), shared.end(), [&](const auto& pair) {
        return std::any_of(keyShared.begin(), keyShared.end(),
                           [&](const auto& keyPair) { return keyPair.second == pair.second; });
      });
      if (covered) {
        state.decided[childIdx] = 1;
        ++marked;
      }
    }
    return marked;
  }

  // Whether child `childIdx` of the node has a partner for the node's
  // tuples whose ids shared with child `keyChild` are `key`, the child
  // being one markDecided() marked.
  bool keyHasPartner(const PruneNode& node, std::uint32_t childIdx, std::uint32_t keyChild,
                     const std::uint32_t* key) {
    const PruneNode& child = nodes_[node.children[childIdx]];
    const SlotPairs& keyShared = nodes_[node.children[keyChild]].sharedWithParent;
    NodeState& state = states_[node.children[childIdx]];
    auto idOf = [&](std::uint32_t parentSlot) {
      std::size_t at = 0;
      while (keyShared[at].second != parentSlot) ++at;
      return key[at];
    };
    if (!child.children.empty()) {
      key_.resize(child.sharedWithParent.size());
      for (std::size_t keyIdx = 0; keyIdx < key_.size(); ++keyIdx) {
        key_[keyIdx] = idOf(child.sharedWithParent[keyIdx].second);
      }
      return state.sharedKeys.contains(key_.data());
    }
    key_ = state.anchorKey;
    for (const auto& pair : child.sharedWithParent) key_.push_back(idOf(pair.second));
    return !probeIndex(node.children[childIdx]).lookup(key_.data()).empty();
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
    const bool ownFewer = own.size() <= bestSize;
    // Through the parent where it offers less than a quarter as many keys
    // as the other ways start from: a tuple found that way is checked
    // against the children, where one found through a child's key mostly
    // is not looked at again.
    state.fromParent = node.parent != UINT32_MAX &&
                       4 * states_[node.parent].anchored.size() < std::min(own.size(), bestSize);
    if (state.fromParent) {
      keysFromParent(nodeIdx);
      return;
    } else if (!ownFewer && keysFromChild(nodeIdx)) {
      return;
    } else if (!fromSortedOwn(nodeIdx, best, ownFewer)) {
      // Not a node whose anchored tuples are sorted by other ids (those
      // have one child, and fromSortedOwn takes them where they are fewer):
      // survivors of its own tuples come out ascending.
      if (ownFewer) {
        stats_.candidateSteps += own.size();
        for (std::size_t at = 0; at < own.size(); ++at) {
          prefetchRow(operand, own, at);
          if (survives(node, own[at], UINT32_MAX)) state.survivors.push_back(own[at]);
        }
      } else {
        fromChild(nodeIdx, best);
      }
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
    const IdIndex& probe = probeIndex(leafIdx);
    if (sortsAnchored(probe, leaf)) {
      // Sorted by those keys already: each is the first of a run.
      const IdIndex::SortedGroup group = probe.sortedGroup(state.anchorKey.data());
      const std::size_t width = probe.restWidth();
      stats_.candidateSteps += group.size;
      for (std::uint32_t at = 0; at < group.size; ++at) {
        const std::uint32_t* key = group.rest + std::size_t{at} * width;
        if (at == 0 || compareIds<0>(key - width, key, width) != 0) state.seenKeys.insert(key);
      }
      return state.seenKeys;
    }
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

  // The keys an inner node offers its parent, found through the parent's
  // tuples that agree with the parent's anchors: each distinct key they
  // share with the node is offered where some tuple of the node with it
  // has a partner in every child. A cycle whose two ends the prefix binds
  // is then walked from both ends, meeting half way. Keys no such parent
  // tuple has are left out, which changes nothing: the parent's survivors
  // are among those tuples.
  void keysFromParent(std::size_t nodeIdx) {
    const PruneNode& node = nodes_[nodeIdx];
    NodeState& state = states_[nodeIdx];
    const std::span<const std::uint32_t> tuples = states_[node.parent].anchored;
    const EncodedOperand& parentOperand = encoded_.operands[nodes_[node.parent].operand];
    const std::size_t anchors = state.anchorKey.size();
    const std::size_t width = node.sharedWithParent.size();
    std::vector<std::uint32_t>& lookupKey = lookupKey_;
    lookupKey.assign(state.anchorKey.begin(), state.anchorKey.end());
    lookupKey.resize(anchors + width);
    const std::uint32_t* key = lookupKey.data() + anchors;
    state.seenKeys.clear();
    state.sharedKeys.clear();
    stats_.candidateSteps += tuples.size();
    for (std::size_t at = 0; at < tuples.size(); ++at) {
      prefetchRow(parentOperand, tuples, at);
      const std::uint32_t* row = parentOperand.row(tuples[at]);
      for (std::size_t keyIdx = 0; keyIdx < width; ++keyIdx) {
        lookupKey[anchors + keyIdx] = row[node.sharedWithParent[keyIdx].second];
      }
      if (state.seenKeys.insert(key) && offersKey(nodeIdx, lookupKey.data())) {
        state.sharedKeys.insert(key);
      }
    }
  }

  // Whether some tuple of the node agreeing with `key` (its anchors, then
  // what it shares with its parent) has a partner in every child. Where
  // the node has one child and an index on `key`'s slots and those it
  // shares with the child groups by `key` alone, the tuples come sorted by
  // what they share with the child, beside it: each value is asked once,
  // and no tuple's row is read.
  bool offersKey(std::size_t nodeIdx, const std::uint32_t* key) {
    const PruneNode& node = nodes_[nodeIdx];
    NodeState& state = states_[nodeIdx];
    if (state.parentIndex == nullptr) {
      const EncodedOperand& operand = encoded_.operands[node.operand];
      std::vector<std::uint32_t> slots = node.probeSlots;
      if (node.children.size() == 1) {
        for (const auto& pair : nodes_[node.children[0]].sharedWithParent) {
          slots.push_back(pair.second);
        }
      }
      if (slots.size() > node.probeSlots.size() &&
          IdIndex::leadingFor(operand, slots) == node.probeSlots.size()) {
        state.parentIndex = &indexes_.get(node.operand, slots);
        state.parentSorted = true;
      } else {
        state.parentIndex = &probeIndex(static_cast<std::uint32_t>(nodeIdx));
        state.parentSorted = false;
      }
    }
    if (state.parentSorted) {
      const IdIndex::SortedGroup group = state.parentIndex->sortedGroup(key);
      const std::size_t width = state.parentIndex->restWidth();
      const std::uint32_t childNode = node.children[0];
      const bool leaf = nodes_[childNode].children.empty();
      NodeState& childState = states_[childNode];
      stats_.candidateSteps += 1;
      for (std::uint32_t at = 0; at < group.size; ++at) {
        const std::uint32_t* rest = group.rest + std::size_t{at} * width;
        if (at > 0 && compareIds<0>(rest - width, rest, width) == 0) continue;
        ++stats_.candidateSteps;
        if (leaf) {
          key_ = childState.anchorKey;
          key_.insert(key_.end(), rest, rest + width);
          if (!probeIndex(childNode).lookup(key_.data()).empty()) return true;
        } else if (childState.sharedKeys.contains(rest)) {
          return true;
        }
      }
      return false;
    }
    const auto found = state.parentIndex->lookup(key);
    const EncodedOperand& operand = encoded_.operands[node.operand];
    stats_.candidateSteps += 1;
    for (std::size_t at = 0; at < found.size(); ++at) {
      prefetchRow(operand, found, at);
      ++stats_.candidateSteps;
      if (survives(node, found[at], UINT32_MAX)) return true;
    }
    return false;
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
    // Children that see no more of a tuple than the key it was found by
    // are asked once per key, not once per tuple: two children meeting
    // the node on the same variables (a cycle closed through it) then
    // cost a lookup per key of one of them.
    const std::size_t decided = markDecided(node, state, childIdx);
    const bool perTuple = node.children.size() > 1 + decided;
    auto visit = [&](const std::uint32_t* key) {
      std::copy(key, key + width,
                lookupKey.begin() + static_cast<std::ptrdiff_t>(state.anchorKey.size()));
      const auto found = index.lookup(lookupKey.data());
      stats_.candidateSteps += 1 + found.size();
      if (found.empty()) return;
      for (std::uint32_t other = 0; decided > 0 && other < node.children.size(); ++other) {
        if (state.decided[other] == 0) continue;
        ++stats_.candidateSteps;
        if (!keyHasPartner(node, other, childIdx, key)) return;
      }
      if (!perTuple) {
        // No other child to check: every tuple found survives.
        state.survivors.insert(state.survivors.end(), found.begin(), found.end());
        return;
      }
      for (std::size_t at = 0; at < found.size(); ++at) {
        prefetchRow(operand, found, at);
        if (survives(node, found[at], childIdx, &state.decided)) {
          state.survivors.push_back(found[at]);
        }
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

}  // namespace

void locateAnchored(const Pruning& pruning, LevelCache& cache, LevelStates& states,
                    const EncodedView& encoded, IndexCache& indexes,
                    const std::vector<std::uint32_t>& chosen, JoinStats& stats) {
  Pruner(pruning, cache, states, encoded, indexes, stats).locate(chosen);
}

void prune(const Pruning& pruning, LevelCache& cache, LevelStates& states,
           const EncodedView& encoded, IndexCache& indexes,
           const std::vector<std::uint32_t>& chosen, JoinStats& stats) {
  Pruner(pruning, cache, states, encoded, indexes, stats).run(chosen);
}

}  // namespace natjoin
