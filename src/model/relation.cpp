#include "model/relation.h"

#include <algorithm>
#include <cassert>

namespace natjoin {

std::size_t TupleView::size() const {
  if (!hasValues_) return 0;
  return static_cast<std::size_t>(std::count(text_.begin(), text_.end(), ',')) + 1;
}

void Relation::setTupleText(std::string_view text, std::vector<std::uint64_t> ends) {
  assert(tupleEnds_.empty());
  tupleText_ = text;
  tupleEnds_ = std::move(ends);
}

}  // namespace natjoin
