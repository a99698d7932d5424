// The rows of many outer tuples found at once, where the walked suffix
// (see suffix.h) begins right after the outermost operand.
//
// Walking one outer tuple's suffix reads a few index entries, ids and texts
// at random places, each read waiting for the one before. Here the walk
// goes member by member over a batch of outer tuples: first every key of
// the member is read, then every key's group is found, then every group's
// tuples are taken. Each of those passes asks the processor for what the
// next one reads, so the reads of all tuples of the batch are under way
// at once and a row costs about as many cache misses as before but not
// their wait, one after the other.
//
// Each pass keeps the order of the rows it is given, and a member's tuples
// are taken in ascending order, so the rows come out grouped by outer
// tuple in ascending order and within one outer tuple ordered by the
// members in walk order; where that is not the level order, each outer
// tuple's rows are sorted.
//
// A batch holds at most kMaxRows rows: the caller starts with few outer
// tuples and takes more while their rows stay few.
#ifndef NATJOIN_JOIN_SUFFIX_BATCH_H_
#define NATJOIN_JOIN_SUFFIX_BATCH_H_

#include <cstdint>
#include <span>
#include <vector>

#include "join/levels.h"
#include "join/stats.h"
#include "join/suffix.h"

namespace natjoin {

class SuffixBatch {
 public:
  // The most rows held for one batch: with up to 32 members, about 2 MiB
  // of walk state and rows at most, and rows reach the file within a
  // millisecond or so of the batch's walk beginning.
  static constexpr std::size_t kMaxRows = std::size_t{1} << 12;

  // REQUIRES: `plan` is of the level after the outermost one.
  explicit SuffixBatch(const SuffixPlan& plan);

  // Finds the rows of the outer tuples `outer`, ascending, in the order of
  // the nested loop. Returns false where they are more than kMaxRows, once
  // a member's tuples for the rows so far are counted; no row is kept then.
  // candidateVisits counts the members' tuples walked, carriedKeys the keys
  // read from beside them.
  bool find(const EncodedView& encoded, IndexCache& indexes, std::span<const std::uint32_t> outer,
            JoinStats& stats);

  std::size_t rowCount() const { return rowCount_; }
  // The tuple at `level` (0 for the outer tuple) in row `row`.
  std::uint32_t tuple(std::size_t row, std::size_t level) const {
    return combos_[row * width_ + level];
  }

 private:
  // One member's step of the walk: per row it found, the row of the step
  // before it extends (or for the first, the outer tuple's place in the
  // batch), and the place of the member's tuple in its index (see
  // IdIndex::placeOf). 8 bytes per row.
  struct Step {
    std::vector<std::uint32_t> from;
    std::vector<std::uint32_t> place;
  };
  // Per row of a step, the place of its tuples in their index and their
  // count. 8 bytes per row.
  struct Found {
    std::uint32_t place;
    std::uint32_t count;
  };

  // The row of step `to` that row `row` of step `from` (after it) extends,
  // or with `to` kOuter, the place of the row's outer tuple in the batch.
  static constexpr std::size_t kOuter = SIZE_MAX;
  std::size_t ancestor(std::size_t from, std::size_t row, std::size_t to) const {
    for (std::size_t at = from; at != to; --at) row = steps_[at].from[row];
    return row;
  }

  // Reads the key of each row of the step before `memberIdx` into keys_.
  void readKeys(std::size_t memberIdx, const EncodedView& encoded,
                std::span<const std::uint32_t> outer, std::size_t rows, JoinStats& stats);
  // Takes the tuples of member `memberIdx` for each of `rows` rows into its
  // step; false where the rows are then more than kMaxRows.
  bool extend(std::size_t memberIdx, std::size_t rows, JoinStats& stats);
  // The rows of all steps as tuples by level, each outer tuple's sorted.
  void collect(std::span<const std::uint32_t> outer);

  const SuffixPlan& plan_;
  std::size_t width_ = 0;                // levels: the outermost and the suffix's
  std::vector<const IdIndex*> indexes_;  // per member, once found
  // Per child, where its key is among its parent's carried ids; empty
  // where the parent's index does not carry it.
  std::vector<std::vector<std::uint32_t>> carriedAt_;
  std::vector<Step> steps_;            // per member
  std::vector<std::uint32_t> keys_;    // per row of a step, its key
  std::vector<std::uint32_t> groups_;  // per row of a step, its key's group
  std::vector<Found> found_;           // per row of a step
  std::size_t rowCount_ = 0;
  std::vector<std::uint32_t> combos_;  // width_ tuples per row
  RowSorter sorter_;
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_SUFFIX_BATCH_H_
