// Enumeration of the rows: depth first over the levels, candidates in
// ascending tuple order, so the rows come out in the order of the nested
// loop.
//
// The outermost operand is split a few thousand tuples at a time, just
// before they are enumerated, so it is never held whole.
//
// With several threads the outermost operand's tuples are cut into chunks,
// taken in order by the threads. The chunk whose rows are due next (the
// frontier) writes straight to the output; a chunk ahead of it collects its
// rows in memory, up to a bound, and its thread waits once the bound is
// reached or it is too far ahead. When the frontier chunk ends, the
// collected rows of the chunks after it are written in order. So the output
// is the same at any number of threads, rows of the frontier reach the file
// as they are found, and memory stays bounded.
#ifndef NATJOIN_JOIN_ENUMERATE_H_
#define NATJOIN_JOIN_ENUMERATE_H_

#include <vector>

#include "join/columns.h"
#include "join/levels.h"
#include "join/planning.h"
#include "join/reduce.h"
#include "join/stats.h"
#include "join/suffix.h"
#include "join/threads.h"
#include "output/writer.h"

namespace natjoin {

struct PreparedJoin {
  const Operands& operands;
  const JoinClasses& classes;
  const HiddenColumns& hiddenColumns;
  const EncodedJoin& encoded;  // reduced
  const OuterFilter& outerFilter;
  IndexCache& indexes;
  const JoinPlan& plan;      // each thread keeps its own LevelStates
  const SuffixPlan& suffix;  // each thread keeps its own SuffixRows
  // Whether to read ahead however small the operands are (see ReadAhead).
  bool alwaysReadAhead = false;
};

// Writes every row of `join` to `out`, stopping early once a write fails.
void enumerateRows(OutputWriter& out, const PreparedJoin& join, unsigned threads, JoinStats& stats);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_ENUMERATE_H_
