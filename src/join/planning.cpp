#include "join/planning.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace natjoin {

void selectOperands(const JoinList& joinList, const Relations& relations, Operands& operands) {
  if (joinList.empty()) return;
  // Of several relations with one name only the first can be selected.
  std::unordered_map<std::string_view, const Relation*> byName;
  byName.reserve(relations.size());
  for (const auto& relation : relations) byName.try_emplace(relation->name(), relation.get());
  for (const std::string& name : joinList) {
    const auto found = byName.find(name);
    if (found != byName.end()) operands.push_back(found->second);
  }
}

void findJoinConditions(const Operands& operands, std::vector<JoinCondition>& conditions,
                        HiddenColumns& hiddenColumns) {
  struct Occurrence {
    std::uint32_t operand;
    std::uint32_t attribute;
  };

  // Number the distinct attribute names, and list where each one occurs,
  // grouped by name and in (operand, attribute) order within a group.
  std::unordered_map<std::string_view, std::uint32_t> groupOfName;
  std::vector<std::uint32_t> groupOfOccurrence;
  std::vector<Occurrence> occurrences;
  for (std::uint32_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    const auto& attributes = operands[operandIdx]->attributes();
    hiddenColumns.emplace_back(attributes.size(), false);
    for (std::uint32_t attrIdx = 0; attrIdx < attributes.size(); ++attrIdx) {
      const auto group = groupOfName.try_emplace(attributes[attrIdx],
                                                 static_cast<std::uint32_t>(groupOfName.size()));
      groupOfOccurrence.push_back(group.first->second);
      occurrences.push_back({operandIdx, attrIdx});
    }
  }
  std::vector<std::size_t> groupStart(groupOfName.size() + 1, 0);
  for (const std::uint32_t group : groupOfOccurrence) ++groupStart[group + 1];
  for (std::size_t group = 0; group < groupOfName.size(); ++group) {
    groupStart[group + 1] += groupStart[group];
  }
  std::vector<Occurrence> grouped(occurrences.size());
  {
    std::vector<std::size_t> next(groupStart.begin(), groupStart.end() - 1);
    for (std::size_t occIdx = 0; occIdx < occurrences.size(); ++occIdx) {
      grouped[next[groupOfOccurrence[occIdx]]++] = occurrences[occIdx];
    }
  }

  for (std::size_t group = 0; group + 1 < groupStart.size(); ++group) {
    const std::size_t begin = groupStart[group];
    const std::size_t end = groupStart[group + 1];
    // Each occurrence pairs with every occurrence in a later operand; those
    // in its own operand are skipped as a block, so a name repeated many
    // times within one relation costs nothing.
    std::size_t laterOperand = begin;
    for (std::size_t left = begin; left < end; ++left) {
      while (laterOperand < end && grouped[laterOperand].operand <= grouped[left].operand) {
        ++laterOperand;
      }
      for (std::size_t right = laterOperand; right < end; ++right) {
        conditions.push_back({grouped[left].operand, grouped[left].attribute,
                              grouped[right].operand, grouped[right].attribute});
      }
      if (grouped[left].operand != grouped[begin].operand) {
        hiddenColumns[grouped[left].operand][grouped[left].attribute] = true;
      }
    }
  }
  std::sort(conditions.begin(), conditions.end(), [](const JoinCondition& a, const JoinCondition& b) {
    if (a.leftOperand != b.leftOperand) return a.leftOperand < b.leftOperand;
    if (a.rightOperand != b.rightOperand) return a.rightOperand < b.rightOperand;
    if (a.leftAttribute != b.leftAttribute) return a.leftAttribute < b.leftAttribute;
    return a.rightAttribute < b.rightAttribute;
  });
}

}  // namespace natjoin
