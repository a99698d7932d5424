#include "join/planning.h"

#include <algorithm>
#include <string_view>

namespace natjoin {
namespace {

// Counts into `comparisons` where given.
class Counter {
 public:
  explicit Counter(NameComparisons* comparisons) : comparisons_(comparisons) {}
  void add() const {
    if (comparisons_ != nullptr) ++comparisons_->count;
  }

 private:
  NameComparisons* comparisons_;
};

// The positions 0..count-1 ordered by nameOf(position), equal names by
// position. Sorting instead of hashing keeps the memory at four bytes a name:
// a database may hold millions of relations or attribute names.
template <typename NameOf>
std::vector<std::uint32_t> orderByName(std::size_t count, NameOf nameOf, Counter counter) {
  std::vector<std::uint32_t> order(count);
  for (std::uint32_t position = 0; position < count; ++position) order[position] = position;
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    counter.add();
    const int compared = nameOf(a).compare(nameOf(b));
    return compared != 0 ? compared < 0 : a < b;
  });
  return order;
}

}  // namespace

void selectOperands(const JoinList& joinList, const Relations& relations, Operands& operands,
                    NameComparisons* comparisons) {
  if (joinList.empty()) return;
  const Counter counter(comparisons);
  // Only the join list's names are looked up, so a database of millions of
  // relations costs one pass over them and no memory per relation. The
  // names are sorted, not hashed: 12 bytes a name, in one allocation.
  const std::vector<std::uint32_t> order = orderByName(
      joinList.size(), [&](std::uint32_t at) { return std::string_view(joinList[at]); }, counter);
  std::vector<const Relation*> found(joinList.size(), nullptr);  // by rank in `order`
  auto rankOf = [&](std::string_view name) {
    const auto at = std::lower_bound(order.begin(), order.end(), name,
                                     [&](std::uint32_t position, std::string_view wanted) {
                                       counter.add();
                                       return std::string_view(joinList[position]) < wanted;
                                     });
    return at != order.end() && joinList[*at] == name ? static_cast<std::size_t>(at - order.begin())
                                                      : SIZE_MAX;
  };
  std::size_t missing = joinList.size();
  for (const Relation& relation : relations) {
    if (missing == 0) break;
    const std::size_t rank = rankOf(relation.name());
    // Of several relations with one name the first in file order is found.
    // A name listed twice has two ranks; the first of them stands for both.
    if (rank != SIZE_MAX && found[rank] == nullptr) {
      found[rank] = &relation;
      for (std::size_t same = rank + 1;
           same < order.size() && joinList[order[same]] == joinList[order[rank]]; ++same) {
        found[same] = &relation;
        --missing;
      }
      --missing;
    }
  }
  operands.reserve(operands.size() + joinList.size());
  for (const std::string& name : joinList) {
    const std::size_t rank = rankOf(name);
    if (found[rank] != nullptr) operands.push_back(found[rank]);
  }
}

void findJoinConditions(const Operands& operands, std::vector<JoinCondition>& conditions,
                        HiddenColumns& hiddenColumns, NameComparisons* comparisons) {
  const Counter counter(comparisons);
  // Columns are numbered across all operands in (operand, attribute) order;
  // firstColumn[operand] is the number of the operand's first column.
  std::vector<std::size_t> firstColumn(operands.size() + 1, 0);
  std::vector<std::string_view> names;  // of every column, in that order
  for (std::size_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    const AttributeNames attributes = operands[operandIdx]->attributes();
    names.insert(names.end(), attributes.begin(), attributes.end());
    hiddenColumns.emplace_back(attributes.size(), false);
    firstColumn[operandIdx + 1] = firstColumn[operandIdx] + attributes.size();
  }
  auto operandOf = [&](std::uint32_t column) {
    return static_cast<std::uint32_t>(
        std::upper_bound(firstColumn.begin(), firstColumn.end(), column) - firstColumn.begin() - 1);
  };
  auto attributeOf = [&](std::uint32_t column, std::uint32_t operand) {
    return static_cast<std::uint32_t>(column - firstColumn[operand]);
  };
  auto nameOf = [&](std::uint32_t column) { return names[column]; };
  // Grouped by name, and in (operand, attribute) order within a group.
  const std::vector<std::uint32_t> order = orderByName(firstColumn.back(), nameOf, counter);

  for (std::size_t begin = 0; begin < order.size();) {
    const std::string_view name = nameOf(order[begin]);
    std::size_t end = begin + 1;
    while (end < order.size() && (counter.add(), nameOf(order[end]) == name)) ++end;
    // Each column pairs with every column of the name in a later operand;
    // those in its own operand are skipped as a block, so a name repeated
    // many times within one relation costs nothing.
    const std::uint32_t firstOperand = operandOf(order[begin]);
    std::size_t laterOperand = begin;
    for (std::size_t left = begin; left < end; ++left) {
      const std::uint32_t operand = operandOf(order[left]);
      const std::uint32_t attribute = attributeOf(order[left], operand);
      while (laterOperand < end && operandOf(order[laterOperand]) <= operand) ++laterOperand;
      for (std::size_t right = laterOperand; right < end; ++right) {
        const std::uint32_t otherOperand = operandOf(order[right]);
        conditions.push_back(
            {operand, attribute, otherOperand, attributeOf(order[right], otherOperand)});
      }
      if (operand != firstOperand) hiddenColumns[operand][attribute] = true;
    }
    begin = end;
  }
  std::sort(conditions.begin(), conditions.end(),
            [](const JoinCondition& a, const JoinCondition& b) {
              if (a.leftOperand != b.leftOperand) return a.leftOperand < b.leftOperand;
              if (a.rightOperand != b.rightOperand) return a.rightOperand < b.rightOperand;
              if (a.leftAttribute != b.leftAttribute) return a.leftAttribute < b.leftAttribute;
              return a.rightAttribute < b.rightAttribute;
            });
}

}  // namespace natjoin
