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
// and ended by "\n"; a tuple without values takes no bytes. One offset per
// tuple marks where it ends. This costs a few bytes per tuple instead of one
// allocation per value, and lets the echo write all tuples with one call.
#ifndef NATJOIN_MODEL_RELATION_H_
#define NATJOIN_MODEL_RELATION_H_

#include <cstddef>
#include <cstdint>
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

class Relation {
 public:
  // A new relation has an empty name, no attributes and no tuples.
  Relation() = default;
  // Operands refer to a relation by pointer; a copy is never needed.
  Relation(const Relation&) = delete;
  Relation& operator=(const Relation&) = delete;

  std::string_view name() const { return name_; }
  const std::vector<std::string_view>& attributes() const { return attributes_; }
  std::size_t tupleCount() const { return tupleEnds_.size(); }
  TupleView tuple(std::size_t index) const {
    const std::uint64_t begin = index == 0 ? 0 : tupleEnds_[index - 1];
    const std::uint64_t end = tupleEnds_[index];
    if (begin == end) return TupleView();
    // Every tuple with values ends in "\n", which is not part of its text.
    return TupleView(tupleText_.substr(begin, end - begin - 1), true);
  }
  // All tuples in echo form: each tuple with values as "v1,...,vk\n".
  std::string_view tupleText() const { return tupleText_; }

  // The relation refers to the given text, which must outlive it.
  void setNameView(std::string_view name) { name_ = name; }
  void addAttributeView(std::string_view name) { attributes_.push_back(name); }
  void reserveAttributes(std::size_t count) { attributes_.reserve(count); }
  // Takes over tuples already in text form. `ends` holds, per tuple, the
  // offset in `text` just past it. REQUIRES: the relation has no tuples yet.
  void setTupleText(std::string_view text, std::vector<std::uint64_t> ends);

 private:
  std::string_view name_;
  std::vector<std::string_view> attributes_;
  std::string_view tupleText_;
  std::vector<std::uint64_t> tupleEnds_;
};

// All relations of a database in file order. The list owns the records;
// operands of a join refer to them by pointer.
using Relations = std::vector<std::unique_ptr<Relation>>;

// The relation names of the join section, in order. Names are stored apart
// from the buffer because the reader drops blanks and tabs inside them.
using JoinList = std::vector<std::string>;

}  // namespace natjoin

#endif  // NATJOIN_MODEL_RELATION_H_
