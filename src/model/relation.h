// The in-memory form of a database: relations with their attribute names and
// tuples, and the list of relation names to join.
//
// Everything is text. A database file can be hundreds of megabytes, so a
// relation does not copy what it is built from: its name, attribute names
// and values are views into the reader's buffer, which must outlive the
// relation.
//
// A relation's tuples are kept together as one text in the form the echo
// writes them: each tuple with at least one value is its values joined by ","
// and ended by "\n"; a tuple without values takes no bytes. Nothing is kept
// per tuple: a relation outside the join costs its text and nothing more,
// and the echo writes all its tuples with one call. Those that need tuples
// by number (the join) record where they end themselves.
#ifndef NATJOIN_MODEL_RELATION_H_
#define NATJOIN_MODEL_RELATION_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace natjoin {

// A read-only view of one stored tuple.
class TupleView {
 public:
  TupleView() = default;
  // `text` is the values joined by "," without the final "\n"; `hasValues`
  // tells an empty tuple from a tuple holding one empty value.
  TupleView(std::string_view text, bool hasValues) : text_(text), hasValues_(hasValues) {}

  bool hasValues() const { return hasValues_; }
  // The values joined by ",", exactly as a row or the echo writes them.
  std::string_view text() const { return text_; }
  std::size_t size() const;

  // Calls fn(position, value) for every value in order.
  template <typename Fn>
  void forEachValue(Fn&& fn) const {
    if (!hasValues_) return;
    std::size_t position = 0;
    std::string_view rest = text_;
    for (;;) {
      const std::size_t comma = rest.find(',');
      if (comma == std::string_view::npos) {
        fn(position, rest);
        return;
      }
      fn(position, rest.substr(0, comma));
      rest.remove_prefix(comma + 1);
      ++position;
    }
  }

 private:
  std::string_view text_;
  bool hasValues_ = false;
};

class Relation;

// Reads the tuples of a relation one after another from a given tuple on.
class TupleCursor {
 public:
  TupleCursor(const Relation& relation, std::uint64_t first);

  // The number of the tuple that next() returns.
  std::uint64_t index() const { return index_; }
  // Where that tuple begins in the relation's tuple text.
  std::uint64_t offset() const { return offset_; }
  std::uint64_t textSize() const { return text_.size(); }
  // Returns the next tuple. REQUIRES: index() < the relation's tupleCount().
  TupleView next();

 private:
  std::string_view text_;
  const std::uint64_t* nextEmpty_;  // the next tuple without values, if any
  const std::uint64_t* emptiesEnd_;
  std::uint64_t index_ = 0;
  std::uint64_t offset_ = 0;
};

// The attribute names of a relation, kept as one text: the names joined by
// ",", which no name holds. A relation's record then has the same size
// whatever its width; the names are read in order.
class AttributeNames {
 public:
  class Iterator {
   public:
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    Iterator(const char* at, const char* end, std::uint64_t left)
        : at_(at), end_(end), left_(left) {}
    std::string_view operator*() const {
      return std::string_view(at_, static_cast<std::size_t>(nameEnd() - at_));
    }
    Iterator& operator++() {
      const char* end = nameEnd();
      at_ = end == end_ ? end : end + 1;
      --left_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator& other) const { return left_ == other.left_; }

   private:
    const char* nameEnd() const;

    const char* at_ = nullptr;
    const char* end_ = nullptr;
    std::uint64_t left_ = 0;  // names from this one on
  };

  AttributeNames(std::string_view text, std::uint64_t count) : text_(text), count_(count) {}

  std::size_t size() const { return static_cast<std::size_t>(count_); }
  bool empty() const { return count_ == 0; }
  // The names joined by ",". One empty name and no name both give "".
  std::string_view text() const { return text_; }
  Iterator begin() const { return Iterator(text_.data(), text_.data() + text_.size(), count_); }
  Iterator end() const { return Iterator(nullptr, nullptr, 0); }

 private:
  std::string_view text_;
  std::uint64_t count_;
};

class Relation {
 public:
  // Where a relation records a tuple's offset: every this many tuples.
  static constexpr std::uint64_t kCheckpointEvery = 64;

  // A new relation has an empty name, no attributes and no tuples.
  Relation() = default;
  // Operands refer to a relation by pointer; a copy is never needed.
  Relation(const Relation&) = delete;
  Relation& operator=(const Relation&) = delete;

  std::string_view name() const { return {name_, large_ ? large_->nameSize : nameSize_}; }
  AttributeNames attributes() const {
    return large_ ? AttributeNames({attributes_, large_->attributeTextSize}, large_->attributeCount)
                  : AttributeNames({attributes_, attributeTextSize_}, attributeCount_);
  }
  std::size_t tupleCount() const {
    return static_cast<std::size_t>(large_ ? large_->tupleCount : tupleCount_);
  }
  // Tuple `index`, found from the nearest checkpoint: at most
  // kCheckpointEvery lines are passed over. Read many in order with a
  // TupleCursor.
  TupleView tuple(std::size_t index) const { return TupleCursor(*this, index).next(); }
  // All tuples in echo form: each tuple with values as "v1,...,vk\n".
  std::string_view tupleText() const {
    return {tupleText_, large_ ? large_->tupleTextSize : tupleTextSize_};
  }

  // The relation refers to the given text, which must outlive it.
  void setNameView(std::string_view name);
  // `text` holds the `count` attribute names joined by ",".
  void setAttributes(std::string_view text, std::uint64_t count);
  // Takes over tuples already in text form: `count` tuples, of which those
  // numbered in `empties` (ascending) have no values; `checkpoints` holds
  // the offset in `text` where tuple k * kCheckpointEvery begins, for every
  // k >= 1 below the count. REQUIRES: the relation has no tuples yet.
  void setTuples(std::string_view text, std::uint64_t count, std::vector<std::uint64_t> checkpoints,
                 std::vector<std::uint64_t> empties);

 private:
  friend class TupleCursor;

  // What a relation holds beyond a small one: sizes of 4 GiB or more, and
  // the positions of tuples past the first kCheckpointEvery or without
  // values. While it exists its sizes replace the record's own.
  struct Large {
    std::uint64_t nameSize;
    std::uint64_t attributeTextSize;
    std::uint64_t attributeCount;
    std::uint64_t tupleTextSize;
    std::uint64_t tupleCount;
    // 8 bytes per kCheckpointEvery tuples and per tuple without values let
    // any tuple be found.
    std::vector<std::uint64_t> checkpoints;
    std::vector<std::uint64_t> empties;
  };
  static bool small(std::uint64_t size) { return size <= UINT32_MAX; }
  Large& large();

  // 56 bytes in all: a database of a million one-line relations costs
  // little more than its text. The tuples cost nothing of their own beyond
  // their text; a tuple with values is one line of it.
  const char* name_ = "";
  const char* attributes_ = "";
  const char* tupleText_ = "";
  std::uint32_t nameSize_ = 0;
  std::uint32_t attributeTextSize_ = 0;
  std::uint32_t attributeCount_ = 0;
  std::uint32_t tupleTextSize_ = 0;
  std::uint32_t tupleCount_ = 0;
  std::unique_ptr<Large> large_;
};

// All relations of a database in file order. The list owns the records, and
// a deque never moves them: operands of a join refer to them by pointer.
using Relations = std::deque<Relation>;

// The relation names of the join section, in order. Names are stored apart
// from the buffer because the reader drops blanks and tabs inside them.
using JoinList = std::vector<std::string>;

}  // namespace natjoin

#endif  // NATJOIN_MODEL_RELATION_H_
