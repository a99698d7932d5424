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

namespace natjoin {

struct JoinStats;

// Shrinks the alive lists of `encoded`. `forest` is over all operands, as
// buildJoinForest makes it with every variable usable. Returns false when
// some operand has no alive tuple left: then the join has no row.
bool reduceOperands(EncodedJoin& encoded, const JoinClasses& classes, const JoinForest& forest,
                    JoinStats& stats);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_REDUCE_H_
