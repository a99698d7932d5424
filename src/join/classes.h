// Join variables: the classes of equally named attributes.
//
// The conditions of a natural join are defined pair by pair (every two
// equally named attributes at two different operand positions), but they
// are transitive: where a name occurs at two or more positions, every column
// of that name at those positions holds one value in every row. Each such
// name is one join variable. A name found at one position only, however
// often, constrains nothing and is no variable. Planning, reduction and
// probing work on variables, so their cost grows with the number of columns,
// not with the number of pairs.
#ifndef NATJOIN_JOIN_CLASSES_H_
#define NATJOIN_JOIN_CLASSES_H_

#include <cstdint>
#include <vector>

#include "join/planning.h"
#include "join/small_array.h"

namespace natjoin {

inline constexpr std::uint32_t kNoSlot = UINT32_MAX;

// The variables of one operand. Slot s of the operand is variable vars[s];
// a tuple has one value per slot.
struct OperandVars {
  SmallArray vars;  // ascending variable numbers
  // Per attribute position: its slot, or kNoSlot when the attribute is no
  // variable. Several positions may share a slot (a name repeated in one
  // relation); their values must then be equal.
  SmallArray slotOfPosition;
};

struct JoinClasses {
  std::uint32_t varCount = 0;
  std::vector<OperandVars> operands;          // one per operand position
  std::vector<std::uint32_t> firstOperandOf;  // per variable, the earliest position having it
};

// Groups the attribute names of `operands` into variables. Variables are
// numbered in the order of their earliest column, (operand, attribute)-wise.
// Takes time n log n in the number of attribute names.
JoinClasses findClasses(const Operands& operands);

// The hidden columns of the result: the columns of a variable at every
// position but its earliest. Equal to what findJoinConditions makes, without
// listing the conditions.
HiddenColumns hiddenColumnsOf(const Operands& operands, const JoinClasses& classes);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_CLASSES_H_
