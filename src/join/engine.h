// The join itself and the result section of the output file:
//
//   \nresult(a,b,c)    <- the visible attribute names, separated by ","
//   1,x,p              <- one row per combination of one tuple per operand
//   ...                   that satisfies every join condition
//
// Rows come out in nested-loop order: the first operand's tuples, in stored
// order, form the outermost loop and the last operand's the innermost.
// Duplicate rows are kept. Tuples that cannot appear in any row are removed
// first, by semi-joins between operands that share conditions, and each
// operand's tuples are then found through a hash index on the columns its
// conditions test. For joins whose conditions form no cycle and whose
// operands each share an attribute with an earlier one (chains, stars and
// trees, listed from a root outwards) the work is thus proportional to the
// input plus the output, not to the product of the tuple counts. Otherwise
// partial rows can still pile up that a later operand rejects: a cyclic join
// (R(a,b), S(b,c), T(c,a)), or a chain listed as R(a,b), T(c,d), S(b,c).
//
// Where the nested loop is not defined, the result is:
// - no operands: the header "result()" and no rows;
// - an operand without tuples: no rows;
// - a condition on a value position a tuple lacks: the condition fails;
// - a tuple longer than its attribute list: the extra values are written;
// - separators stand only between the names or values actually written.
#ifndef NATJOIN_JOIN_ENGINE_H_
#define NATJOIN_JOIN_ENGINE_H_

#include <vector>

#include "join/planning.h"
#include "output/writer.h"

namespace natjoin {

// Writes the result section to `out`. The header line goes out at once and
// every row within about a millisecond of being found. Stops early when a
// write to `out` fails. REQUIRES: `conditions` and `hiddenColumns` as
// findJoinConditions makes them for `operands`.
void writeJoinResult(OutputWriter& out, const Operands& operands,
                     const std::vector<JoinCondition>& conditions,
                     const HiddenColumns& hiddenColumns);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_ENGINE_H_
