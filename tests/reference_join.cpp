#include "reference_join.h"

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

  std::vector<std::size_t> cursor(n, 0);
  for (;;) {
    bool holds = true;
    for (const JoinCondition& c : conditions) {
      const auto& left = tuples[c.leftOperand][cursor[c.leftOperand]];
      const auto& right = tuples[c.rightOperand][cursor[c.rightOperand]];
      // A value position the tuple lacks fails the condition.
      if (c.leftAttribute >= left.size() || c.rightAttribute >= right.size() ||
          left[c.leftAttribute] != right[c.rightAttribute]) {
        holds = false;
        break;
      }
    }
    if (holds) {
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
    std::size_t p = n;
    for (;;) {
      if (p == 0) return out;
      --p;
      if (++cursor[p] < tuples[p].size()) break;
      cursor[p] = 0;
    }
  }
}

}  // namespace natjoin::test
