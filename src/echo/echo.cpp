#include "echo/echo.h"

namespace natjoin {

void echoDatabase(OutputWriter& out, const JoinList& joinList, const Relations& relations) {
  out.write("join(");
  for (std::size_t nameIdx = 0; nameIdx < joinList.size(); ++nameIdx) {
    out.write(joinList[nameIdx]);
    out.write(nameIdx + 1 == joinList.size() ? ")\n" : ",");
  }
  for (const auto& relation : relations) {
    if (out.failed()) return;
    out.put('\n');
    out.write(relation->name());
    out.put('(');
    const auto& attributes = relation->attributes();
    for (std::size_t attrIdx = 0; attrIdx < attributes.size(); ++attrIdx) {
      out.write(attributes[attrIdx]);
      out.write(attrIdx + 1 == attributes.size() ? ")\n" : ", ");
    }
    // The tuples are stored in the form the echo writes them.
    out.write(relation->tupleText());
  }
}

}  // namespace natjoin
