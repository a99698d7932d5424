// Splitting an operand's tuples into values, a block at a time, in two
// steps: finding and hashing the values of a block, then looking them up
// in the dictionaries, where a block's lookups overlap their cache misses.
#ifndef NATJOIN_JOIN_SPLIT_H_
#define NATJOIN_JOIN_SPLIT_H_

#include <cstdint>
#include <string_view>
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
};

// The values of a block of tuples, found and hashed but not yet looked up.
// About 32 bytes per value of a variable, for the block only.
struct SplitBlock {
  struct Found {
    std::string_view value;
    std::uint64_t hash;
    std::uint32_t held;  // the tuple's place in the operand's encoding
    std::uint32_t position;
  };
  std::uint32_t begin = 0;  // tuples held [begin, end)
  std::uint32_t end = 0;
  std::vector<Found> found;
  std::vector<std::uint8_t> dead;  // per tuple of the block: can be in no row
};

// Splits the tuples held [begin, end), read from `cursor`, into `block`,
// and sets their starts in `encoded` (whose text begins `textBegin` bytes
// into the relation's). A tuple without the values its conditions name is
// dead.
void splitBlock(const SplitLayout& layout, TextHashFn hash, TupleCursor& cursor,
                std::uint64_t textBegin, std::uint32_t begin, std::uint32_t end,
                EncodedOperand& encoded, SplitBlock& block);

// Looks up the values of `block` and adds its alive tuples to `encoded`.
// Where kIntern, every value gets an id, new or not; else a value that has
// none (no other operand has it) leaves its tuple dead: a variable is in
// two operands at least, so the dictionaries of the others hold every
// value of the outermost operand that can be in a row. A tuple whose repeated names hold two values
// is dead.
template <bool kIntern>
void lookUpBlock(const SplitLayout& layout,
                 std::conditional_t<kIntern, std::vector<Dictionary>,
                                    const std::vector<Dictionary>>& dictionaries,
                 SplitBlock& block, EncodedOperand& encoded);

// Splits the `count` tuples from `cursor` on into `encoded` (whose ids,
// starts and alive list are made ready for them), interning every value.
void splitInterned(const SplitLayout& layout, std::vector<Dictionary>& dictionaries,
                   TextHashFn hash, TupleCursor& cursor, std::uint32_t count,
                   EncodedOperand& encoded);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_SPLIT_H_
