#include "join/planning.h"

#include <algorithm>
#include <string_view>

namespace natjoin {
namespace {

// The positions 0..count-1 ordered by nameOf(position), equal names by
// position. Sorting instead of hashing keeps the memory at four bytes a name:
// a database may hold millions of relations or attribute names.
template <typename NameOf>
std::vector<std::uint32_t> orderByName(std::size_t count, NameOf nameOf) {
  std::vector<std::uint32_t> order(count);
  for (std::uint32_t position = 0; position < count; ++position) order[position] = position;
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    const int compared = nameOf(a).compare(nameOf(b));
    return compared != 0 ? compared < 0 : a < b;
  });
  return order;
}

}  // namespace

void selectOperands(const JoinList& joinList, const Relations& relations, Operands& operands) {
  if (joinList.empty()) return;
  auto nameOf = [&](std::uint32_t position) { return relations[position]->name(); };
  const std::vector<std::uint32_t> byName = orderByName(relations.size(), nameOf);
  for (const std::string& name : joinList) {
    // Of several relations with one name the first in file order is found.
    const auto found = std::lower_bound(byName.begin(), byName.end(), std::string_view(name),
                                        [&](std::uint32_t position, std::string_view wanted) {
                                          return nameOf(position) < wanted;
                                        });
    if (found != byName.end() && nameOf(*found) == name) operands.push_back(relations[*found].get());
  }
}

void findJoinConditions(const Operands& operands, std::vector<JoinCondition>& conditions,
                        HiddenColumns& hiddenColumns) {
  struct Occurrence {
    std::uint32_t operand;
    std::uint32_t attribute;
  };
  std::vector<Occurrence> occurrences;
  for (std::uint32_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    const auto& attributes = operands[operandIdx]->attributes();
    hiddenColumns.emplace_back(attributes.size(), false);
    for (std::uint32_t attrIdx = 0; attrIdx < attributes.size(); ++attrIdx) {
      occurrences.push_back({operandIdx, attrIdx});
    }
  }
  // Grouped by name, and in (operand, attribute) order within a group.
  auto nameOf = [&](std::uint32_t occIdx) {
    return operands[occurrences[occIdx].operand]->attributes()[occurrences[occIdx].attribute];
  };
  const std::vector<std::uint32_t> order = orderByName(occurrences.size(), nameOf);

  for (std::size_t begin = 0; begin < order.size();) {
    std::size_t end = begin + 1;
    while (end < order.size() && nameOf(order[end]) == nameOf(order[begin])) ++end;
    // Each occurrence pairs with every occurrence in a later operand; those
    // in its own operand are skipped as a block, so a name repeated many
    // times within one relation costs nothing.
    const Occurrence first = occurrences[order[begin]];
    std::size_t laterOperand = begin;
    for (std::size_t left = begin; left < end; ++left) {
      const Occurrence current = occurrences[order[left]];
      while (laterOperand < end && occurrences[order[laterOperand]].operand <= current.operand) {
        ++laterOperand;
      }
      for (std::size_t right = laterOperand; right < end; ++right) {
        const Occurrence other = occurrences[order[right]];
        conditions.push_back({current.operand, current.attribute, other.operand, other.attribute});
      }
      if (current.operand != first.operand) hiddenColumns[current.operand][current.attribute] = true;
    }
    begin = end;
  }
  std::sort(conditions.begin(), conditions.end(), [](const JoinCondition& a, const JoinCondition& b) {
    if (a.leftOperand != b.leftOperand) return a.leftOperand < b.leftOperand;
    if (a.rightOperand != b.rightOperand) return a.rightOperand < b.rightOperand;
    if (a.leftAttribute != b.leftAttribute) return a.leftAttribute < b.leftAttribute;
    return a.rightAttribute < b.rightAttribute;
  });
}

}  // namespace natjoin
