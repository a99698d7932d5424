// The join written as the plain nested loop over every combination of one
// tuple per operand, as simply as possible (a combination is given up at the
// first operand where a condition fails). It is the reference the engine is
// compared with: slow, but obviously right.
#ifndef NATJOIN_TESTS_REFERENCE_JOIN_H_
#define NATJOIN_TESTS_REFERENCE_JOIN_H_

#include <string>
#include <vector>

#include "join/planning.h"

namespace natjoin::test {

// The result section (header and rows) the nested loop writes.
std::string referenceJoinResult(const Operands& operands,
                                const std::vector<JoinCondition>& conditions,
                                const HiddenColumns& hiddenColumns);

}  // namespace natjoin::test

#endif  // NATJOIN_TESTS_REFERENCE_JOIN_H_
