#include "model/relation.h"

#include <algorithm>
#include <cassert>

namespace natjoin {

std::size_t TupleView::size() const {
  if (!hasValues_) return 0;
  return static_cast<std::size_t>(std::count(text_.begin(), text_.end(), ',')) + 1;
}

std::vector<std::string_view> TupleView::values() const {
  std::vector<std::string_view> result;
  forEachValue([&](std::size_t, std::string_view value) { result.push_back(value); });
  return result;
}

std::string_view Relation::keep(std::string_view text) {
  return keptNames_.emplace_back(text);
}

void Relation::setName(std::string_view name) { name_ = keep(name); }

void Relation::addAttribute(std::string_view name) { attributes_.push_back(keep(name)); }

void Relation::addTuple(const Tuple& tuple) {
  // Tuples given by view are copied once, so that all tuples share one text.
  if (tupleText_.data() != ownTupleText_.data()) ownTupleText_.assign(tupleText_);
  for (std::size_t valueIdx = 0; valueIdx < tuple.size(); ++valueIdx) {
    if (valueIdx > 0) ownTupleText_ += ',';
    ownTupleText_ += tuple[valueIdx];
  }
  if (!tuple.empty()) ownTupleText_ += '\n';
  tupleText_ = ownTupleText_;
  tupleEnds_.push_back(ownTupleText_.size());
}

void Relation::setTupleText(std::string_view text, std::vector<std::uint64_t> ends) {
  assert(tupleEnds_.empty());
  tupleText_ = text;
  tupleEnds_ = std::move(ends);
}

}  // namespace natjoin
