#include "echo/echo.h"

namespace natjoin {

void echoDatabase(OutputWriter& out, const JoinList& joinList, const Relations& relations) {
  out.write("join(");
  for (std::size_t nameIdx = 0; nameIdx < joinList.size(); ++nameIdx) {
    out.write(joinList[nameIdx]);
    out.write(nameIdx + 1 == joinList.size() ? ")\n" : ",");
  }
  for (const Relation& relation : relations) {
    if (out.failed()) return;
    out.put('\n');
    out.write(relation.name());
    out.put('(');
    const AttributeNames attributes = relation.attributes();
    if (!attributes.empty()) {
      // The names are kept joined by ","; the header separates them by ", ".
      std::string_view names = attributes.text();
      for (std::size_t comma; (comma = names.find(',')) != std::string_view::npos;) {
        out.write(names.substr(0, comma));
        out.write(", ");
        names.remove_prefix(comma + 1);
      }
      out.write(names);
      out.write(")\n");
    }
    // The tuples are stored in the form the echo writes them.
    out.write(relation.tupleText());
  }
}

}  // namespace natjoin
