#include "model/relation.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace natjoin {

std::size_t TupleView::size() const {
  if (!hasValues_) return 0;
  return static_cast<std::size_t>(std::count(text_.begin(), text_.end(), ',')) + 1;
}

TupleCursor::TupleCursor(const Relation& relation, std::uint64_t first)
    : text_(relation.tupleText_),
      nextEmpty_(relation.empties_.data()),
      emptiesEnd_(relation.empties_.data() + relation.empties_.size()) {
  const std::uint64_t checkpoint = first / Relation::kCheckpointEvery;
  if (checkpoint > 0) {
    index_ = checkpoint * Relation::kCheckpointEvery;
    offset_ = relation.checkpoints_[checkpoint - 1];
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

void Relation::setTuples(std::string_view text, std::uint64_t count,
                         std::vector<std::uint64_t> checkpoints,
                         std::vector<std::uint64_t> empties) {
  assert(tupleCount_ == 0);
  tupleText_ = text;
  tupleCount_ = count;
  checkpoints_ = std::move(checkpoints);
  empties_ = std::move(empties);
}

}  // namespace natjoin
