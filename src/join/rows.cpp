#include "join/rows.h"

namespace natjoin {

void writeHeader(OutputWriter& out, const Operands& operands, const HiddenColumns& hiddenColumns) {
  out.write("\nresult(");
  bool written = false;
  for (std::size_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    const auto& attributes = operands[operandIdx]->attributes();
    for (std::size_t attrIdx = 0; attrIdx < attributes.size(); ++attrIdx) {
      if (hiddenColumns[operandIdx][attrIdx]) continue;
      if (written) out.put(',');
      out.write(attributes[attrIdx]);
      written = true;
    }
  }
  out.write(")\n");
}

}  // namespace natjoin
