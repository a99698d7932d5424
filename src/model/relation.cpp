#include "model/relation.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace natjoin {

std::size_t TupleView::size() const {
  if (!hasValues_) return 0;
  return static_cast<std::size_t>(std::count(text_.begin(), text_.end(), ',')) + 1;
}

const char* AttributeNames::Iterator::nameEnd() const {
  const auto* comma =
      static_cast<const char*>(std::memchr(at_, ',', static_cast<std::size_t>(end_ - at_)));
  return comma != nullptr ? comma : end_;
}

TupleCursor::TupleCursor(const Relation& relation, std::uint64_t first)
    : text_(relation.tupleText()), nextEmpty_(nullptr), emptiesEnd_(nullptr) {
  // A relation without its larger record has no tuple without values and
  // no checkpoint.
  if (!relation.large_) {
    while (index_ < first) next();
    return;
  }
  const Relation::Large& large = *relation.large_;
  nextEmpty_ = large.empties.data();
  emptiesEnd_ = large.empties.data() + large.empties.size();
  const std::uint64_t checkpoint = first / Relation::kCheckpointEvery;
  if (checkpoint > 0) {
    index_ = checkpoint * Relation::kCheckpointEvery;
    offset_ = large.checkpoints[checkpoint - 1];
    nextEmpty_ = std::lower_bound(nextEmpty_, emptiesEnd_, index_);
  }
  while (index_ < first) next();
}

TupleView TupleCursor::next() {
  const std::uint64_t index = index_++;
  if (nextEmpty_ != emptiesEnd_ && *nextEmpty_ == index) {
    ++nextEmpty_;
    return TupleView();
  }
  // Every tuple with values ends in "\n", which is not part of its text.
  const char* begin = text_.data() + offset_;
  const auto* end = static_cast<const char*>(std::memchr(begin, '\n', text_.size() - offset_));
  const auto length = static_cast<std::size_t>(end - begin);
  offset_ += length + 1;
  return TupleView(std::string_view(begin, length), true);
}

Relation::Large& Relation::large() {
  if (!large_) {
    large_ = std::make_unique<Large>(
        Large{nameSize_, attributeTextSize_, attributeCount_, tupleTextSize_, tupleCount_, {}, {}});
  }
  return *large_;
}

void Relation::setNameView(std::string_view name) {
  name_ = name.data();
  if (!large_ && small(name.size())) {
    nameSize_ = static_cast<std::uint32_t>(name.size());
  } else {
    large().nameSize = name.size();
  }
}

void Relation::setAttributes(std::string_view text, std::uint64_t count) {
  attributes_ = text.data();
  if (!large_ && small(text.size()) && small(count)) {
    attributeTextSize_ = static_cast<std::uint32_t>(text.size());
    attributeCount_ = static_cast<std::uint32_t>(count);
  } else {
    Large& record = large();
    record.attributeTextSize = text.size();
    record.attributeCount = count;
  }
}

void Relation::setTuples(std::string_view text, std::uint64_t count,
                         std::vector<std::uint64_t> checkpoints,
                         std::vector<std::uint64_t> empties) {
  assert(tupleCount() == 0);
  tupleText_ = text.data();
  if (!large_ && small(text.size()) && count <= kCheckpointEvery && empties.empty()) {
    tupleTextSize_ = static_cast<std::uint32_t>(text.size());
    tupleCount_ = static_cast<std::uint32_t>(count);
  } else {
    Large& record = large();
    record.tupleTextSize = text.size();
    record.tupleCount = count;
    record.checkpoints = std::move(checkpoints);
    record.empties = std::move(empties);
  }
}

}  // namespace natjoin
