#include "reference_join.h"

#include <algorithm>
#include <string_view>

namespace natjoin::test {

std::string referenceJoinResult(const Operands& operands,
                                const std::vector<JoinCondition>& conditions,
                                const HiddenColumns& hiddenColumns) {
  std::string out = "\nresult(";
  bool first = true;
  for (std::size_t i = 0; i < operands.size(); ++i) {
    std::size_t j = 0;
    for (const std::string_view name : operands[i]->attributes()) {
      if (hiddenColumns[i][j++]) continue;
      if (!first) out += ',';
      out += name;
      first = false;
    }
  }
  out += ")\n";

  const std::size_t n = operands.size();
  if (n == 0) return out;
  std::vector<std::vector<std::vector<std::string_view>>> tuples(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (operands[i]->tupleCount() == 0) return out;  // an empty operand: no rows
    for (std::size_t t = 0; t < operands[i]->tupleCount(); ++t) {
      auto& values = tuples[i].emplace_back();
      operands[i]->tuple(t).forEachValue(
          [&](std::size_t, std::string_view value) { values.push_back(value); });
    }
  }

  // Each condition is checked at the later of its two operands:
  // a combination failing it there fails for every choice of the operands
  // after it, so the odometer turns that wheel on at once. The rows and their
  // order are those of trying every combination.
  std::vector<std::vector<JoinCondition>> checkedAt(n);
  for (const JoinCondition& c : conditions) {
    checkedAt[std::max(c.leftOperand, c.rightOperand)].push_back(c);
  }
  std::vector<std::size_t> cursor(n, 0);
  const auto holdsAt = [&](std::size_t p) {
    for (const JoinCondition& c : checkedAt[p]) {
      const auto& left = tuples[c.leftOperand][cursor[c.leftOperand]];
      const auto& right = tuples[c.rightOperand][cursor[c.rightOperand]];
      // A value position the tuple lacks fails the condition.
      if (c.leftAttribute >= left.size() || c.rightAttribute >= right.size() ||
          left[c.leftAttribute] != right[c.rightAttribute]) {
        return false;
      }
    }
    return true;
  };
  std::size_t p = 0;  // every condition checked before p holds
  for (;;) {
    if (holdsAt(p)) {
      if (p + 1 < n) {
        cursor[++p] = 0;
        continue;
      }
      first = true;
      for (std::size_t i = 0; i < n; ++i) {
        const auto& values = tuples[i][cursor[i]];
        for (std::size_t j = 0; j < values.size(); ++j) {
          if (j < hiddenColumns[i].size() && hiddenColumns[i][j]) continue;
          if (!first) out += ',';
          out += values[j];
          first = false;
        }
      }
      out += '\n';
    }
    // Odometer: the last operand turns fastest.
    while (++cursor[p] == tuples[p].size()) {
      if (p == 0) return out;
      --p;
    }
  }
}

}  // namespace natjoin::test
