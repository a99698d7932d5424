#include "join/classes.h"

#include <algorithm>
#include <string_view>

namespace natjoin {

JoinClasses findClasses(const Operands& operands) {
  struct Column {
    std::string_view name;
    std::uint32_t operand;
    std::uint32_t position;
  };
  std::vector<Column> columns;
  JoinClasses classes;
  classes.operands.resize(operands.size());
  for (std::uint32_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    const AttributeNames attributes = operands[operandIdx]->attributes();
    classes.operands[operandIdx].slotOfPosition.assign(attributes.size(), kNoSlot);
    std::uint32_t position = 0;
    for (const std::string_view name : attributes)
      columns.push_back({name, operandIdx, position++});
  }
  // Grouped by name; within a name in (operand, position) order, so that the
  // first column of a group is the variable's earliest.
  std::sort(columns.begin(), columns.end(), [](const Column& a, const Column& b) {
    const int compared = a.name.compare(b.name);
    if (compared != 0) return compared < 0;
    return a.operand != b.operand ? a.operand < b.operand : a.position < b.position;
  });

  struct Found {
    std::uint32_t operand;
    std::uint32_t position;
    std::uint32_t group;
  };
  std::vector<Found> found;  // columns of variables, by group
  std::vector<std::pair<std::uint32_t, std::uint32_t>>
      groupStart;  // (first operand, first position)
  for (std::size_t begin = 0; begin < columns.size();) {
    std::size_t end = begin + 1;
    bool twoOperands = false;
    while (end < columns.size() && columns[end].name == columns[begin].name) {
      twoOperands |= columns[end].operand != columns[begin].operand;
      ++end;
    }
    if (twoOperands) {
      const auto group = static_cast<std::uint32_t>(groupStart.size());
      groupStart.emplace_back(columns[begin].operand, columns[begin].position);
      for (std::size_t at = begin; at < end; ++at) {
        found.push_back({columns[at].operand, columns[at].position, group});
      }
    }
    begin = end;
  }

  // Number the variables by their earliest column.
  std::vector<std::uint32_t> groupOrder(groupStart.size());
  for (std::uint32_t group = 0; group < groupOrder.size(); ++group) groupOrder[group] = group;
  std::sort(groupOrder.begin(), groupOrder.end(),
            [&](std::uint32_t a, std::uint32_t b) { return groupStart[a] < groupStart[b]; });
  std::vector<std::uint32_t> varOfGroup(groupStart.size());
  classes.varCount = static_cast<std::uint32_t>(groupStart.size());
  classes.firstOperandOf.resize(groupStart.size());
  for (std::uint32_t var = 0; var < groupOrder.size(); ++var) {
    varOfGroup[groupOrder[var]] = var;
    classes.firstOperandOf[var] = groupStart[groupOrder[var]].first;
  }

  // Slots: each operand's variables in ascending order.
  std::sort(found.begin(), found.end(), [&](const Found& a, const Found& b) {
    if (a.operand != b.operand) return a.operand < b.operand;
    return varOfGroup[a.group] < varOfGroup[b.group];
  });
  for (const Found& column : found) {
    OperandVars& operand = classes.operands[column.operand];
    const std::uint32_t var = varOfGroup[column.group];
    if (operand.vars.empty() || operand.vars.back() != var) operand.vars.push_back(var);
    operand.slotOfPosition[column.position] = static_cast<std::uint32_t>(operand.vars.size() - 1);
  }
  return classes;
}

HiddenColumns hiddenColumnsOf(const Operands& operands, const JoinClasses& classes) {
  HiddenColumns hidden(operands.size());
  for (std::size_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    const OperandVars& operand = classes.operands[operandIdx];
    hidden[operandIdx].resize(operand.slotOfPosition.size());
    for (std::size_t position = 0; position < operand.slotOfPosition.size(); ++position) {
      const std::uint32_t slot = operand.slotOfPosition[position];
      hidden[operandIdx][position] =
          slot != kNoSlot && classes.firstOperandOf[operand.vars[slot]] != operandIdx;
    }
  }
  return hidden;
}

}  // namespace natjoin
