// The rows of a prefix found all at once, then sorted.
//
// Where the operands after some level L (the suffix) hang together as trees
// through the variables the prefix leaves unbound, and each tree is reached
// through at most one operand having variables the prefix binds (its root),
// the rows of a prefix are the combinations of the trees' walks: each root's
// tuples agreeing with the prefix, then per child the tuples agreeing with
// the tuple chosen for its parent. Once dangling tuples are removed from an
// acyclic join, every step of such a walk leads to a row, so the walk costs
// no more than the rows it finds. The rows of the prefix are then sorted by
// their tuples at levels L, L+1, ..., which is the order of the nested loop,
// and written; this costs a few index lookups and a sort per row, instead
// of finding and pruning candidates level by level.
//
// The rows of one prefix are held at once, up to a bound; a prefix with
// more rows than that is enumerated level by level instead, and the thread
// gives up on the suffix (what was found is at most as much as the rows
// that prefix has).
#ifndef NATJOIN_JOIN_SUFFIX_H_
#define NATJOIN_JOIN_SUFFIX_H_

#include <cstdint>
#include <span>
#include <vector>

#include "join/classes.h"
#include "join/columns.h"
#include "join/levels.h"
#include "join/stats.h"

namespace natjoin {

// One operand of the suffix, in the order of the walk: parents first.
struct SuffixMember {
  std::uint32_t operand = 0;
  std::uint32_t parent = UINT32_MAX;  // member index, or UINT32_MAX for a root
  // The slots of the index the member's tuples are found through: of a
  // root, those of its variables the prefix binds (none: all its tuples);
  // else those it shares with its parent, whose slots give the key.
  std::vector<std::uint32_t> slots;
  std::vector<KeySource> sources;          // a root's: where the prefix holds them
  std::vector<std::uint32_t> parentSlots;  // a child's, parallel to slots
};

struct SuffixPlan {
  // The first level of the suffix, or kNone where no suffix qualifies.
  static constexpr std::uint32_t kNone = UINT32_MAX;
  std::uint32_t level = kNone;
  std::vector<SuffixMember> members;
  // Whether the walk finds the combinations already in the nested loop's
  // order: one member, or members walked in level order along one path.
  bool walkIsOrdered = false;
  // Bits per level of the suffix where their sum fits in 64 bits, so that
  // a combination sorts as one number; else empty.
  std::vector<std::uint8_t> packBits;
};

// The suffix of the longest run of trailing levels (at most a few dozen)
// that qualifies. `exactlyReduced` tells that only tuples in some row are
// alive (an acyclic join, or no more than two operands), without which a
// walk could run into dead ends. `encoded` gives the operands' sizes.
SuffixPlan planSuffix(const JoinClasses& classes, const EncodedJoin& encoded, bool exactlyReduced);

// Has the index each parent of the walk is found through carry the ids its
// children's keys are read from, where they are at most two: the walk then
// reads no parent's row at a random place. Not where the suffix begins
// right after the outermost level: walked a batch of outer tuples at a time
// (see SuffixBatch), the reads of the parents' rows overlap, and carrying
// would cost 4 bytes per id per tuple for little gain.
void carrySuffixKeys(const SuffixPlan& plan, IndexCache& indexes);

// Sorts rows of `width` tuple numbers each into ascending order of their
// columns from `from` on, where the columns before are the same in every
// row. `packBits` gives the bits of each column from `from` on, or is empty
// where they do not fit in 64 bits; a row then sorts as one number.
class RowSorter {
 public:
  void sort(std::span<std::uint32_t> rows, std::size_t width, std::size_t from,
            const std::vector<std::uint8_t>& packBits);

 private:
  // Sorts packed_, numbers of `bits` bits.
  void sortNumbers(unsigned bits);

  // Scratch: rows packed as numbers, with room and per-digit counts to
  // sort them, or row numbers and the rows in their sorted order.
  std::vector<std::uint64_t> packed_;
  std::vector<std::uint64_t> scratch_;
  std::vector<std::uint32_t> counts_;
  std::vector<std::uint32_t> order_;
  std::vector<std::uint32_t> sorted_;
};

// One thread's state for finding the rows of prefixes.
class SuffixRows {
 public:
  explicit SuffixRows(const SuffixPlan& plan);

  // Whether this thread still finds rows this way.
  bool active() const { return active_; }
  // Whether some member is a root's child: only then do the stages past
  // kText fetch anything.
  bool hasChildren() const { return hasChildren_; }

  // Finds the rows of the prefix `chosen` (levels before the plan's level),
  // sorted. Returns false, and stops finding rows this way, where they are
  // more than the bound. candidateVisits counts the tuples walked.
  bool find(const EncodedView& encoded, IndexCache& indexes,
            const std::vector<std::uint32_t>& chosen, JoinStats& stats);

  // The reads of find() for one prefix, one step of the walk to its first
  // row after the other: each stage needs what the one before fetched.
  enum class Stage {
    kGroup,         // the roots' index groups
    kMembers,       // their tuples
    kStart,         // the first tuple's ids and start
    kText,          // its text, and its children's index groups
    kChildMembers,  // the children's tuples
    kChildStart,    // their first tuple's ids and start
    kChildText,     // its text
  };
  // Asks the processor ahead of time for what find() will read for the
  // prefix `chosen` at `stage`. Where a prefix has one row or a few, as in
  // a chain, these are the reads of its rows.
  void prefetch(const EncodedView& encoded, IndexCache& indexes,
                const std::vector<std::uint32_t>& chosen, Stage stage);

  std::size_t rowCount() const { return combos_.size() / width_; }
  // The tuple at `level` (one of the suffix's) in row `row`, in sorted
  // order.
  std::uint32_t tuple(std::size_t row, std::size_t level) const {
    return combos_[row * width_ + (level - plan_.level)];
  }

 private:
  // The index member `memberIdx` is looked up in, found on first use.
  const IdIndex& indexOf(std::size_t memberIdx, IndexCache& indexes);
  // The reads of `step`, one of the first four stages, for a member whose
  // key is in key_; a later stage only looks the key up. Returns the tuples
  // found where it was looked up, else none.
  std::span<const std::uint32_t> prefetchMember(const IdIndex& index, const EncodedOperand& operand,
                                                Stage step) const;
  // Reads the key of root `memberIdx` from the prefix `chosen` into key_.
  void readRootKey(std::size_t memberIdx, const EncodedView& encoded,
                   const std::vector<std::uint32_t>& chosen);
  // Reads the key of child `memberIdx` from its parent's tuple
  // `parentTuple`, or where its parent's index carries it, from `carried`,
  // the carried ids of that tuple.
  void readChildKey(std::size_t memberIdx, const EncodedView& encoded, std::uint32_t parentTuple,
                    const std::uint32_t* carried);

  const SuffixPlan& plan_;
  std::size_t width_ = 0;  // levels in the suffix
  bool active_ = true;
  bool hasChildren_ = false;
  std::vector<std::uint8_t> isParent_;                   // per member
  std::vector<const IdIndex*> indexes_;                  // per member, once found
  std::vector<std::span<const std::uint32_t>> pending_;  // per member
  std::vector<std::uint32_t> picked_;                    // per member: its tuple
  // Per member, its picked tuple's carried ids, where its index carries
  // its children's keys.
  std::vector<const std::uint32_t*> pickedCarried_;
  // Per child, where its key is among its parent's carried ids; empty
  // where the parent's index does not carry it.
  std::vector<std::vector<std::uint32_t>> carriedAt_;
  std::vector<std::uint32_t> key_;
  // The rows: width_ tuples each, by level; sorted once found.
  std::vector<std::uint32_t> combos_;
  RowSorter sorter_;
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_SUFFIX_H_
