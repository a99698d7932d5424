// Join planning: which relations are joined, on which columns, and which
// columns the result leaves out.
//
// The join is natural: every pair of equally named attributes in two
// different operands is an equality condition on their values, and an
// attribute whose name an earlier operand already has is hidden from the
// result, so a shared column is written once, for its earliest operand.
// Names are compared as exact strings.
#ifndef NATJOIN_JOIN_PLANNING_H_
#define NATJOIN_JOIN_PLANNING_H_

#include <cstdint>
#include <vector>

#include "model/relation.h"

namespace natjoin {

// References to the relations to join, in join order. The records belong to
// the `Relations` list; one record may stand at several positions.
using Operands = std::vector<const Relation*>;

// Value `leftAttribute` of the tuple of operand `leftOperand` must equal value
// `rightAttribute` of the tuple of operand `rightOperand`; leftOperand is
// always the smaller position.
struct JoinCondition {
  std::uint32_t leftOperand;
  std::uint32_t leftAttribute;
  std::uint32_t rightOperand;
  std::uint32_t rightAttribute;

  friend bool operator==(const JoinCondition&, const JoinCondition&) = default;
};

// One bit per attribute of each operand; a set bit leaves the column out.
using HiddenColumns = std::vector<std::vector<bool>>;

// Appends to `operands`, for each name of `joinList` in order, the first
// relation of `relations` bearing that name; names without one are skipped.
void selectOperands(const JoinList& joinList, const Relations& relations, Operands& operands);

// Fills `conditions` with one condition per pair of equally named attributes
// at two different positions, sorted by leftOperand, rightOperand,
// leftAttribute, rightAttribute; and `hiddenColumns` with one vector per
// operand, where the bit of every attribute whose name an earlier operand
// has is set. Takes time n log n in the attribute names plus the conditions.
void findJoinConditions(const Operands& operands, std::vector<JoinCondition>& conditions,
                        HiddenColumns& hiddenColumns);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_PLANNING_H_
