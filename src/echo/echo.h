// The echo: the first section of the output file, which writes back the join
// list and every relation of the database, in file order, whether or not it
// takes part in the join.
//
//   join(R,S)          <- join names separated by ","
//                      <- each relation block starts with "\n"
//   R(a, b)            <- attribute names separated by ", "
//   1,x                <- one line per tuple, values separated by ","
//
// A list's closing text follows its last element only, so an empty join list
// writes "join(" alone, a relation without attributes leaves its header line
// open, and a tuple without values writes nothing at all.
#ifndef NATJOIN_ECHO_ECHO_H_
#define NATJOIN_ECHO_ECHO_H_

#include "model/relation.h"
#include "output/writer.h"

namespace natjoin {

// Writes the echo section to `out`. Never flushes.
void echoDatabase(OutputWriter& out, const JoinList& joinList, const Relations& relations);

}  // namespace natjoin

#endif  // NATJOIN_ECHO_ECHO_H_
