// Removal of dangling tuples: tuples that can be in no row of the join.
//
// Semi-joins along a join forest of all operands, from the leaves up and
// back down, leave of an acyclic join exactly the tuples that are in some
// row. For a cyclic join no sequence of semi-joins can promise that; the
// passes then repeat, together with a filter per variable (a value survives
// only if every operand having the variable still holds it), until nothing
// changes or a few rounds have passed. Removing less than possible never
// changes the result, only the work.
#ifndef NATJOIN_JOIN_REDUCE_H_
#define NATJOIN_JOIN_REDUCE_H_

#include <cstdint>

#include "join/classes.h"
#include "join/columns.h"
#include "join/join_tree.h"
#include "join/key_table.h"

namespace natjoin {

struct JoinStats;

// Shrinks the alive lists of `encoded`, but for the outermost operand's,
// which `encoded` does not hold (see OuterFilter). `forest` is over all operands, as
// buildJoinForest makes it with every variable usable. Returns false when
// some operand has no alive tuple left: then the join has no row.
bool reduceOperands(EncodedJoin& encoded, const JoinClasses& classes, const JoinForest& forest,
                    JoinStats& stats);

// What a tuple of the outermost operand must match to be in some row, as
// far as the reduction tells: checked on each chunk as it is split. Per
// slot of a variable that later operands have, the ids that all of them
// still hold; per edge of the join forest to an operand sharing several
// variables, the keys that operand still holds. For an acyclic join this
// leaves exactly the tuples that are in some row.
struct OuterFilter {
  struct SlotBits {
    std::uint32_t slot = 0;
    std::vector<std::uint64_t> bits;  // per id of the slot's variable
  };
  struct Edge {
    std::vector<std::uint32_t> slots;  // of the outermost operand
    KeyTable keys;
  };
  std::vector<SlotBits> slotBits;
  std::vector<Edge> edges;

  bool admits(const std::uint32_t* row, std::vector<std::uint32_t>& key) const;
  // Keeps of `chunk.alive` the tuples admitted; `key` is scratch.
  void apply(EncodedOperand& chunk, std::vector<std::uint32_t>& key) const;
};

// The filter of the outermost operand, after reduceOperands.
OuterFilter filterForOuter(const EncodedJoin& encoded, const JoinClasses& classes,
                           const JoinForest& forest);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_REDUCE_H_
