// The plan of the enumeration: for each level (operand position, in join
// order) how its candidates are found once the tuples of the earlier levels
// are chosen.
//
// The candidates of level i are its alive tuples that agree with the chosen
// prefix on every variable an earlier operand has (its bound variables),
// found through an index on those variables. Where later operands decide
// whether such a tuple can still be completed, they are asked first: the
// later operands connected to operand i through variables no earlier operand
// has form a component; those of its members that also have bound
// variables (anchors) restrict i through a join tree of the component rooted
// at i. The tree is walked from the anchors inwards, each step iterating the
// smaller side and probing the other (as worst-case optimal joins do), and
// the surviving tuples of i are sorted into ascending order. A tuple left
// out this way is in no row with the current prefix; for a cyclic join a
// tuple kept may still be in none, and a later level then finds no
// candidate for it.
//
// Candidates depend only on the values of the variables read from the
// prefix, so they are computed again only when those values change, and
// remembered by those values where keys come back often enough to pay.
#ifndef NATJOIN_JOIN_LEVELS_H_
#define NATJOIN_JOIN_LEVELS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "join/classes.h"
#include "join/columns.h"
#include "join/id_index.h"
#include "join/key_table.h"
#include "join/list_memo.h"
#include "join/stats.h"

namespace natjoin {

// The most tuples an unpruned level checks one by one instead of indexing.
inline constexpr std::size_t kMaxScannedTuples = 4;

// Where a bound variable's value is read: the slot of an earlier operand.
struct KeySource {
  std::uint32_t operand;
  std::uint32_t slot;
};

using SlotPairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Indexes by (operand, slots), built on first use and shared by all levels
// and threads. Two threads may build two indexes at once; a thread that
// needs an index being built waits for it.
class IndexCache {
 public:
  // Each index is built on up to `threads` threads.
  IndexCache(const EncodedJoin& encoded, unsigned threads) : encoded_(encoded), threads_(threads) {}
  // Makes the index on (operand, slots) carry the ids of `carried` too (see
  // IdIndex). REQUIRES: no index was got yet.
  void carry(std::uint32_t operand, std::span<const std::uint32_t> slots,
             std::span<const std::uint32_t> carried);
  const IdIndex& get(std::uint32_t operand, std::span<const std::uint32_t> slots);

 private:
  struct Entry {
    std::once_flag built;
    std::unique_ptr<IdIndex> index;
    std::vector<std::uint32_t> carried;
  };
  Entry& entry(std::uint32_t operand, std::span<const std::uint32_t> slots);

  const EncodedJoin& encoded_;
  const unsigned threads_;
  std::mutex mutex_;  // guards the map, not the entries' building
  std::map<std::pair<std::uint32_t, std::vector<std::uint32_t>>, std::unique_ptr<Entry>> indexes_;
};

// One operand of a level's component in the join tree rooted at the level.
struct PruneNode {
  std::uint32_t operand = 0;
  std::uint32_t parent = UINT32_MAX;  // node index; UINT32_MAX at the root
  std::vector<std::uint32_t> children;
  std::vector<std::uint32_t> anchorSlots;  // own slots of bound variables
  std::vector<KeySource> anchorSources;    // parallel to anchorSlots
  SlotPairs sharedWithParent;              // (own slot, parent's slot)
  // The slots of the indexes the node is probed through: anchorSlots and
  // the slots shared with the parent; per child, anchorSlots and the slots
  // shared with it.
  std::vector<std::uint32_t> probeSlots;
  std::vector<std::vector<std::uint32_t>> childSlots;
};

// How a level's candidates are restricted by later operands.
struct Pruning {
  std::vector<PruneNode> nodes;  // node 0 is the root, the level's operand
  // Every value the pruned candidates depend on.
  std::vector<KeySource> cacheSources;
  // Where one of the root's anchors is read from a level after every
  // other anchor (join(G, D, F, H) with F(k, h) anchored on D's k and
  // pruned through H(h, g) anchored on G's g), the candidates of all the
  // prefixes that agree on the other values are the same tuples, grouped
  // by that late anchor. Where the late anchor is instead the only one of
  // a leaf below the root (join(G, D, H, F), H pruned through F anchored
  // on D's k), they are the root's tuples grouped by the values of it that
  // their partners in the leaf have. The entry in JoinPlan::prunings of the
  // pruning without the late anchor (and without such a leaf), the node
  // that has it, its slot of it and where it is read; else kNoSplit.
  std::uint32_t split = kNoSplit;
  std::uint32_t lateNode = 0;
  std::uint32_t lateSlot = 0;
  KeySource lateSource{};
  static constexpr std::uint32_t kNoSplit = UINT32_MAX;
  // Whether a later level filters the nodes' anchored tuples
  // (Level::inheritLevel): they are then found for every prefix, also
  // where the candidates come from elsewhere.
  bool inherited = false;
};

// A level's plan, the same for every thread. Its slots and their sources
// are ranges of JoinPlan's pools. 32 bytes per level, plus the pruning of
// the few levels that have one.
struct Level {
  std::uint32_t operand = 0;
  // Where an earlier level prunes through this operand, the tuples agreeing
  // with that level's anchors are at hand: node `inheritNode` of level
  // `inheritLevel`. Where they are few, filtering them by the remaining
  // bound slots beats a lookup in a large index.
  std::uint32_t inheritLevel = UINT32_MAX;
  std::uint32_t inheritNode = 0;
  // Own slots of bound variables, and those of them the inherited tuples
  // are checked on.
  std::uint32_t boundBegin = 0;
  std::uint32_t boundCount = 0;
  std::uint32_t filterBegin = 0;
  std::uint32_t filterCount = 0;
  // The level's entry in JoinPlan::prunings, or kNoPruning where no later
  // operand restricts the level.
  std::uint32_t pruning = kNoPruning;
  static constexpr std::uint32_t kNoPruning = UINT32_MAX;
};

struct JoinPlan {
  std::vector<Level> levels;
  std::vector<std::uint32_t> slots;  // the slot ranges of all levels
  std::vector<KeySource> sources;    // parallel to slots: where each slot's value is read
  std::vector<Pruning> prunings;

  const Pruning* pruningOf(const Level& level) const {
    return level.pruning == Level::kNoPruning ? nullptr : &prunings[level.pruning];
  }

  std::span<const std::uint32_t> boundSlots(const Level& level) const {
    return {slots.data() + level.boundBegin, level.boundCount};
  }
  std::span<const KeySource> boundSources(const Level& level) const {
    return {sources.data() + level.boundBegin, level.boundCount};
  }
  std::span<const std::uint32_t> filterSlots(const Level& level) const {
    return {slots.data() + level.filterBegin, level.filterCount};
  }
  std::span<const KeySource> filterSources(const Level& level) const {
    return {sources.data() + level.filterBegin, level.filterCount};
  }
};

// Where an index the pruning surely uses finds a node's anchored tuples, as
// one group sorted by what the node shares with its one child (a leaf: with
// its parent), its slots; else empty, and the node's tuples are found
// through an index on its anchors.
std::span<const std::uint32_t> sortedSlots(const PruneNode& node, const EncodedOperand& operand);

// What one thread keeps of a pruning node from one prefix to the next.
struct NodeState {
  // Lazily found indexes: the one that finds the anchored tuples, either on
  // anchorSlots or on sortedSlots(); on probeSlots; on childSlots.
  const IdIndex* anchorIndex = nullptr;
  bool anchorSorted = false;  // whether anchorIndex is on sortedSlots()
  const IdIndex* probeIndex = nullptr;
  std::vector<const IdIndex*> childIndex;
  // Where an inner node's one child's index carries the slots the node
  // shares with its parent: their places among its carried ids.
  std::vector<std::uint32_t> carriedAt;
  std::vector<std::uint32_t> anchorKey;  // the anchor values of the current prefix
  // The tuples agreeing with anchorKey: ascending, unless anchorSorted.
  std::span<const std::uint32_t> anchored;
  // Scratch, kept between computations: the node's surviving tuples and,
  // for an inner node, the keys they share with the parent.
  std::vector<std::uint32_t> survivors;
  KeySet sharedKeys;
  KeySet seenKeys;
  // Per child, whether a key of the child the node's tuples are found
  // through decides it (see Pruner::markDecided).
  std::vector<std::uint8_t> decided;
  // The anchor values the node's survivors and keys were last computed
  // for; whether the last computation found its subtree's anchors changed.
  std::vector<std::uint32_t> computedFor;
  bool computed = false;
  bool renewed = false;
  bool fromParent = false;  // whether found through the parent's tuples
  // The index the node's tuples are found by through its parent's, found
  // on first use: on probeSlots, or sorted by what it shares with its one
  // child after them.
  const IdIndex* parentIndex = nullptr;
  bool parentSorted = false;
};

struct LevelCache;

// A pruned level's candidates for every value of its late anchor at once
// (Pruning::split), found for the other values in `outerKey`: the tuples
// grouped by the late anchor's ids, ascending within a group.
// They are found at once for new outer values where they paid for the
// last ones (the prefixes they served would have cost more steps to prune
// one by one, on average, than finding them did), else once the prefixes
// agreeing on `outerKey` have cost more pruning steps than finding them did
// the last time: prefixes that seldom repeat the other values then cost
// no more than about twice what they did. 8 bytes per tuple held (once per
// late id): at most the operand's tuples, or where a leaf's ids group them,
// a few per tuple of the operand and the leaf (beyond that they are given
// up for the run).
struct SplitCandidates {
  std::vector<std::uint32_t> outerKey;
  std::vector<std::uint32_t> key;  // scratch for the next prefix's
  bool ready = false;
  bool eager = false;            // whether to find them at once for new outer values
  std::uint64_t outerSteps = 0;  // pruning steps spent since outerKey changed
  std::uint64_t lastCost = 0;    // steps the last finding took
  std::uint64_t served = 0;      // prefixes served since they were found
  // All prefixes pruned one by one so far, and their steps.
  std::uint64_t prunedPrefixes = 0;
  std::uint64_t prunedSteps = 0;
  bool abandoned = false;              // whether they outgrew their limit once
  const IdIndex* leafIndex = nullptr;  // a late leaf's, on what it shares with the root
  std::vector<std::uint64_t> grouped;  // late id << 32 | tuple, ascending
  std::unique_ptr<LevelCache> cache;   // the split pruning's state
};

// What a level keeps from one prefix to the next: candidates, the memo and
// scratch. Each thread has its own, made on first use, so that levels that
// never need one (most, in a join of thousands of operands) cost nothing.
struct LevelCache {
  std::vector<std::uint32_t> key;  // the values the candidates were found for
  bool valid = false;
  std::vector<std::uint32_t> candidates;  // ascending
  // Pruned candidates already found, by the values they depend on. Capped:
  // at most kMemoPerTuple ids per tuple of the operand, plus keys.
  std::optional<ListMemo> memo;
  std::vector<NodeState> nodes;            // parallel to the pruning's nodes
  std::unique_ptr<SplitCandidates> split;  // made on first use
};

// One thread's state of the levels: 8 bytes per level, and 8 more per
// level once some level needs a cache, plus the caches made.
class LevelStates {
 public:
  explicit LevelStates(const JoinPlan& plan) : indexes_(plan.levels.size(), nullptr) {}

  // The index on the level's bound slots, once looked up.
  const IdIndex*& index(std::size_t levelIdx) { return indexes_[levelIdx]; }
  LevelCache& cache(const JoinPlan& plan, std::size_t levelIdx);
  // A cache for `pruning`, not a level's own.
  static std::unique_ptr<LevelCache> makeCache(const Pruning* pruning);
  // Scratch for the keys of lookups, which are done with before the next.
  std::vector<std::uint32_t>& key() { return key_; }
  std::vector<std::uint32_t>& lookupKey() { return lookupKey_; }
  std::vector<std::uint32_t>& childKey() { return childKey_; }
  std::vector<std::span<const std::uint32_t>>& groups() { return groups_; }

 private:
  std::vector<const IdIndex*> indexes_;
  std::vector<std::unique_ptr<LevelCache>> caches_;  // empty until one is made
  std::vector<std::uint32_t> key_;
  std::vector<std::uint32_t> lookupKey_;
  std::vector<std::uint32_t> childKey_;
  std::vector<std::span<const std::uint32_t>> groups_;
};

// Reads the values of `sources` in the tuples `chosen` into `key`.
inline void readKey(std::span<const KeySource> sources, const EncodedView& encoded,
                    const std::vector<std::uint32_t>& chosen, std::vector<std::uint32_t>& key) {
  key.resize(sources.size());
  for (std::size_t keyIdx = 0; keyIdx < sources.size(); ++keyIdx) {
    const KeySource& source = sources[keyIdx];
    key[keyIdx] = encoded.operands[source.operand].id(chosen[source.operand], source.slot);
  }
}

// Appends the slots of `operand`'s variables bound before `level`, and
// where each is read (its earliest operand), to `slots` and `sources`.
void boundSlotsOf(const JoinClasses& classes, std::uint32_t operand, std::uint32_t level,
                  std::vector<std::uint32_t>& slots, std::vector<KeySource>& sources);

// Plans every level from the variables alone; the indexes it names are built
// on first use, after the reduction.
JoinPlan planLevels(const JoinClasses& classes);

// Has the indexes that inner pruning nodes with one child are reached
// through carry the ids the node shares with its parent: all the walk
// needs of the tuples it finds there.
void carryPruningKeys(const JoinPlan& plan, IndexCache& indexes);

// The indexes that finding candidates surely uses once some prefix reaches
// each of the first `levelCount` levels, as (operand, slots): threads may
// build them side by side before they enumerate.
std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> indexesUsed(
    const JoinPlan& plan, const EncodedJoin& encoded, std::size_t levelCount = SIZE_MAX);

// The candidates of level `levelIdx` of `levels` given the tuples `chosen`
// at the earlier levels.
std::span<const std::uint32_t> findCandidates(const JoinPlan& plan, LevelStates& states,
                                              std::size_t levelIdx, const EncodedView& encoded,
                                              IndexCache& indexes,
                                              const std::vector<std::uint32_t>& chosen,
                                              JoinStats& stats);

// The pruning of a level for the tuples `chosen` at the earlier levels:
// each node's tuples agreeing with its anchors (locateAnchored), and the
// level's candidates, ascending, left in cache.nodes[0].survivors (prune,
// which locates them too).
void locateAnchored(const Pruning& pruning, LevelCache& cache, LevelStates& states,
                    const EncodedView& encoded, IndexCache& indexes,
                    const std::vector<std::uint32_t>& chosen, JoinStats& stats);
void prune(const Pruning& pruning, LevelCache& cache, LevelStates& states,
           const EncodedView& encoded, IndexCache& indexes,
           const std::vector<std::uint32_t>& chosen, JoinStats& stats);
// What finding the candidates of a level for a coming prefix reads, asked
// of the processor ahead of time in stages, each a few prefixes after the
// one before: where the tuples are in an index, the tuples, and the first
// one's start and text. Prefixes mostly lead to a few candidates found at
// random places, so hiding those cache misses is much of the time of a
// join with a large result.
enum class Prefetch { kGroup, kMembers, kStart, kText };

// Prefetches `stage` for level `levelIdx` given the tuples `chosen` at the
// earlier levels. A level pruned through later operands gets only its
// anchors' groups and tuples; one whose candidates are filtered from an
// earlier level's, or are checked one by one, gets nothing.
void prefetchLevel(const JoinPlan& plan, LevelStates& states, std::size_t levelIdx,
                   const EncodedView& encoded, IndexCache& indexes,
                   const std::vector<std::uint32_t>& chosen, Prefetch stage);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_LEVELS_H_
