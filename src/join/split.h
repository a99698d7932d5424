// Splitting an operand's tuples into values, a block at a time, in two
// steps: finding and hashing the values of a block, then looking them up
// in the dictionaries, where a block's lookups overlap their cache misses.
#ifndef NATJOIN_JOIN_SPLIT_H_
#define NATJOIN_JOIN_SPLIT_H_

#include <cstdint>
#include <vector>

#include "join/classes.h"
#include "join/columns.h"

namespace natjoin {

// Where one operand's values are, as its columns and conditions tell.
struct SplitLayout {
  SplitLayout(const OperandVars& vars, const ColumnBits& hidden);

  const OperandVars* vars;
  // The last position that is a variable: values after it are not looked at.
  std::uint32_t lastPosition = 0;
  // How many leading columns rows leave out (hiddenPrefixOf). Hidden
  // positions are variables, so an alive tuple has them all.
  std::uint32_t hiddenPrefix = 0;
  // Per slot, its first position, to tell a slot's first value from a
  // repeat that must equal it.
  std::vector<std::uint32_t> firstPosition;
  // Per slot, whether its values are looked up; none: all are.
  const std::uint8_t* ownedSlots = nullptr;
  // Whether where the part of a tuple that rows show begins is kept.
  bool keepsStarts = true;
};

// Splits tuples [cursor.index(), end) of an operand with `vars` and
// `hidden` into `encoded`, whose former contents it replaces, looking their
// values up. Where kIntern, every value gets an id, new or not; else a
// value that has none (no other operand has it) leaves its tuple dead: a
// variable is in two operands at least, so the dictionaries of the others
// hold every value of the outermost operand that can be in a row. A tuple
// is dead too where it lacks a value its conditions name, or its repeated
// names hold two values.
template <bool kIntern>
void splitTuples(const OperandVars& vars, const ColumnBits& hidden,
                 std::conditional_t<kIntern, std::vector<Dictionary>,
                                    const std::vector<Dictionary>>& dictionaries,
                 TextHashFn hash, TupleCursor& cursor, std::uint32_t end, EncodedOperand& encoded);

// Where the values of an operand's variables may lie, and how many
// distinct ones each variable is expected to have (0: not known), as the
// shared dictionaries were made for them.
struct DictionaryRoom {
  const char* lowest = nullptr;
  std::uint64_t span = 0;
  const std::vector<std::size_t>& expected;  // per variable
};

// splitTuples<true> of all tuples of `relation`, on two threads: the
// second half's values are first numbered by dictionaries of its own, then
// given the shared dictionaries' ids. The ids are the same as
// splitTuples<true> gives; it pays where the operand's values are mostly
// repeats, so that the second step interns few values.
void splitTuplesInHalves(const OperandVars& vars, const ColumnBits& hidden,
                         std::vector<Dictionary>& dictionaries, TextHashFn hash,
                         const Relation& relation, const DictionaryRoom& room,
                         EncodedOperand& encoded);

// One thread's share of splitting an operand by variables (see
// encodeOperands): the tuples of `relation` split whole, the values of
// only the slots `ownedSlots` marks interned, into their places in
// `encoded`, which is made for the whole operand beforehand. Sets in
// `alive` (a bit per tuple) the tuples that lack no value and whose owned
// slots agree; keeps the starts where `keepsStarts`.
void splitOwnedSlots(const OperandVars& vars, const ColumnBits& hidden,
                     const std::uint8_t* ownedSlots, bool keepsStarts,
                     std::vector<Dictionary>& dictionaries, TextHashFn hash,
                     const Relation& relation, EncodedOperand& encoded,
                     std::vector<std::uint64_t>& alive);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_SPLIT_H_
