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

Relation::OwnText& Relation::own() {
  if (!own_) own_ = std::make_unique<OwnText>();
  return *own_;
}

std::string_view Relation::keep(std::string_view text) { return own().names.emplace_back(text); }

void Relation::setName(std::string_view name) { name_ = keep(name); }

void Relation::addAttribute(std::string_view name) { attributes_.push_back(keep(name)); }

void Relation::addTuple(const Tuple& tuple) {
  // Tuples given by view are copied once, so that all tuples share one text.
  std::string& text = own().tuples;
  if (tupleText_.data() != text.data()) text.assign(tupleText_);
  for (std::size_t valueIdx = 0; valueIdx < tuple.size(); ++valueIdx) {
    if (valueIdx > 0) text += ',';
    text += tuple[valueIdx];
  }
  if (!tuple.empty()) text += '\n';
  tupleText_ = text;
  tupleEnds_.push_back(text.size());
}

void Relation::setTupleText(std::string_view text, std::vector<std::uint64_t> ends) {
  assert(tupleEnds_.empty());
  tupleText_ = text;
  tupleEnds_ = std::move(ends);
}

}  // namespace natjoin
