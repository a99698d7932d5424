#include "join/rows.h"

namespace natjoin {

void writeHeader(OutputWriter& out, const Operands& operands, const HiddenColumns& hiddenColumns) {
  out.write("\nresult(");
  bool written = false;
  for (std::size_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    std::size_t attrIdx = 0;
    for (const std::string_view name : operands[operandIdx]->attributes()) {
      if (hiddenColumns[operandIdx][attrIdx++]) continue;
      if (written) out.put(',');
      out.write(name);
      written = true;
    }
  }
  out.write(")\n");
}

}  // namespace natjoin
