// Join planning: which relations are joined, on which columns, and which
// columns the result leaves out.
//
// The join is natural: every pair of equally named attributes in two
// different operands is an equality condition on their values, and an
// attribute whose name an earlier operand already has is hidden from the
// result, so a shared column is written once, for its earliest operand.
// Names are compared as exact strings.
#ifndef NATJOIN_JOIN_PLANNING_H_
#define NATJOIN_JOIN_PLANNING_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "join/small_array.h"
#include "model/relation.h"

namespace natjoin {

// References to the relations to join, in join order. The records belong to
// the `Relations` list; one record may stand at several positions.
using Operands = std::vector<const Relation*>;

// Value `leftAttribute` of the tuple of operand `leftOperand` must equal value
// `rightAttribute` of the tuple of operand `rightOperand`; leftOperand is
// always the smaller position.
struct JoinCondition {
  std::uint32_t leftOperand;
  std::uint32_t leftAttribute;
  std::uint32_t rightOperand;
  std::uint32_t rightAttribute;

  friend bool operator==(const JoinCondition&, const JoinCondition&) = default;
};

// One bit per attribute of an operand; a set bit leaves the column out.
// Up to 64 bits are held in place, so an operand of a few columns costs 32
// bytes and no allocation.
class ColumnBits {
 public:
  class Reference {
   public:
    Reference(ColumnBits& bits, std::size_t at) : bits_(bits), at_(at) {}
    Reference& operator=(bool value) {
      bits_.set(at_, value);
      return *this;
    }
    operator bool() const {
      return std::as_const(bits_)[at_];
    }  // NOLINT(google-explicit-constructor)

   private:
    ColumnBits& bits_;
    std::size_t at_;
  };

  ColumnBits() = default;
  ColumnBits(std::size_t count, bool value) { resize(count, value); }

  std::size_t size() const { return size_; }
  bool operator[](std::size_t at) const { return (words_[at / 32] >> (at % 32)) & 1; }
  Reference operator[](std::size_t at) { return {*this, at}; }
  void set(std::size_t at, bool value) {
    const std::uint32_t bit = std::uint32_t{1} << (at % 32);
    if (value) {
      words_[at / 32] |= bit;
    } else {
      words_[at / 32] &= ~bit;
    }
  }
  // Bits beyond the former size take `value`.
  void resize(std::size_t count, bool value = false) {
    const std::size_t before = size_;
    words_.resize((count + 31) / 32, 0);
    size_ = count;
    for (std::size_t at = before; at < count; ++at) set(at, value);
  }
  // Whether any bit is set.
  bool any() const {
    for (std::size_t at = 0; at < size_; ++at) {
      if ((*this)[at]) return true;
    }
    return false;
  }

  friend bool operator==(const ColumnBits& a, const ColumnBits& b) {
    if (a.size_ != b.size_) return false;
    for (std::size_t at = 0; at < a.size_; ++at) {
      if (a[at] != b[at]) return false;
    }
    return true;
  }

 private:
  SmallArray words_;
  std::size_t size_ = 0;
};

// Per operand, its hidden columns.
using HiddenColumns = std::vector<ColumnBits>;

// How many times two names were compared, where a caller asks: the work of
// planning, which tests bound.
struct NameComparisons {
  std::uint64_t count = 0;
};

// Appends to `operands`, for each name of `joinList` in order, the first
// relation of `relations` bearing that name; names without one are skipped.
// Compares names n log n times in the join list's names plus the relations.
void selectOperands(const JoinList& joinList, const Relations& relations, Operands& operands,
                    NameComparisons* comparisons = nullptr);

// Fills `conditions` with one condition per pair of equally named attributes
// at two different positions, sorted by leftOperand, rightOperand,
// leftAttribute, rightAttribute; and `hiddenColumns` with one vector per
// operand, where the bit of every attribute whose name an earlier operand
// has is set. Takes time n log n in the attribute names plus the conditions.
void findJoinConditions(const Operands& operands, std::vector<JoinCondition>& conditions,
                        HiddenColumns& hiddenColumns, NameComparisons* comparisons = nullptr);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_PLANNING_H_
