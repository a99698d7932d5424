// The join itself and the result section of the output file:
//
//   \nresult(a,b,c)    <- the visible attribute names, separated by ","
//   1,x,p              <- one row per combination of one tuple per operand
//   ...                   that satisfies every join condition
//
// Rows come out in nested-loop order: the first operand's tuples, in stored
// order, form the outermost loop and the last operand's the innermost.
// Duplicate rows are kept. The work does not follow the nested loop: values
// become ids, tuples that can be in no row are removed first, and each level
// finds its candidates through indexes, asking later operands first where
// they decide whether a tuple can be completed; where the operands after
// some level hang together as trees (see suffix.h), the rows of a prefix
// are found at once by walking them and sorted. For an acyclic join (chains,
// stars, trees, and cross products of such) listed in any order the work is
// then about proportional to input plus output, up to a log factor, except
// where a level is restricted by a later operand, deeper than a leaf
// below it, through values bound after those of the level's own anchors,
// and a prefix has too many rows to be walked at once; for a cyclic join
// it stays within the worst-case
// bound of the largest possible result for such inputs, up to a log factor,
// for the shapes tested (triangles, four-cycles, cycles at the end of a chain).
//
// Where the nested loop is not defined, the result is:
// - no operands: the header "result()" and no rows;
// - an operand without tuples: no rows;
// - a condition on a value position a tuple lacks: the condition fails;
// - a tuple longer than its attribute list: the extra values are written;
// - separators stand only between the names or values actually written.
#ifndef NATJOIN_JOIN_ENGINE_H_
#define NATJOIN_JOIN_ENGINE_H_

#include <functional>
#include <vector>

#include "join/planning.h"
#include "join/stats.h"
#include "output/writer.h"

namespace natjoin {

// Writes the result section to `out`. The header line goes out once the
// join is prepared (values split and interned, tuples that can be in no row
// removed, indexes built), and every row within about a millisecond of
// being found. Stops early when a write to `out` fails. The conditions
// follow from the operands' attribute names, so only `hiddenColumns` is
// read of the plan. REQUIRES:
// `conditions` and `hiddenColumns` as findJoinConditions makes them for
// `operands`.
void writeJoinResult(OutputWriter& out, const Operands& operands,
                     const std::vector<JoinCondition>& conditions,
                     const HiddenColumns& hiddenColumns);

// Called once the join is prepared, before anything goes to `out`; the
// result section is written only where it returns true. It lets another
// thread write to `out` meanwhile, and waits for that to end.
using OutputReady = std::function<bool()>;

// The same, planning from the names alone, where `outputReady` says when
// `out` is free.
void writeJoinResult(OutputWriter& out, const Operands& operands, const OutputReady& outputReady);

// How rows are found: level by level only, or, where the operands after
// some level qualify (see suffix.h), all rows of a prefix at once. The
// output is the same; tests compare the two and bound the work of each.
enum class Enumeration { kLevels, kSuffixes };

// When the enumeration asks the processor for what it will read a few
// tuples ahead: only where the operands it reads are too large to stay in
// the cache (elsewhere that costs more than it saves), or always. The
// output is the same; tests read ahead always, so that small inputs run
// that code too.
enum class ReadAhead { kWhereLarge, kAlways };

// The same, planning from the names alone (no list of condition pairs,
// which can be quadratic in the operands), counting the work in `stats`
// when it is given, on `threads` threads (0: as many as threadCount() says).
// The output is the same at any number of threads.
void writeJoinResult(OutputWriter& out, const Operands& operands, JoinStats* stats = nullptr,
                     unsigned threads = 0, Enumeration enumeration = Enumeration::kSuffixes,
                     ReadAhead readAhead = ReadAhead::kWhereLarge);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_ENGINE_H_
