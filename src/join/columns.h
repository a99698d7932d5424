// The values that join variables take, as dense 32-bit ids.
//
// Every value of a variable gets an id from one dictionary per variable,
// shared by all operands that have the variable, so equal texts get equal
// ids and conditions compare ids. Each operand's tuples are split once; a
// tuple that lacks a value some condition names, or holds two different
// values in two columns of one name, can be in no row and is not alive.
#ifndef NATJOIN_JOIN_COLUMNS_H_
#define NATJOIN_JOIN_COLUMNS_H_

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "join/classes.h"
#include "join/dictionary.h"
#include "join/planning.h"
#include "join/small_array.h"

namespace natjoin {

// Per tuple held, where the part of it that rows show begins in its
// operand's text, or kNone where nothing of it is shown; the part runs to
// the tuple's "\n". The part is the whole tuple, or where the operand hides
// its leading columns and only those, what follows them: a row then copies
// it whole instead of cutting values out. 4 bytes per tuple, 8 where the
// text is 4 GiB or more.
class TextStarts {
 public:
  static constexpr std::uint64_t kNone = UINT64_MAX;

  // Every start kNone. A start is kept plus one, so that kNone is zero and
  // a large array of them is fresh pages, faulted in as the starts are
  // set, never filled first.
  void reset(std::size_t count, std::uint64_t textSize) {
    wide_ = textSize >= UINT32_MAX;
    words_.assign(wide_ ? 2 * count : count, 0);
  }
  void set(std::size_t tuple, std::uint64_t start) {
    const std::uint64_t kept = start + 1;  // kNone wraps to 0
    if (wide_) {
      words_[2 * tuple] = static_cast<std::uint32_t>(kept);
      words_[2 * tuple + 1] = static_cast<std::uint32_t>(kept >> 32);
    } else {
      words_[tuple] = static_cast<std::uint32_t>(kept);
    }
  }
  // Keeps the starts of the tuples in `kept` (ascending), renumbered from 0
  // in that order, and gives back the memory of the others.
  template <typename Kept>
  void keepOnly(const Kept& kept) {
    const std::size_t width = wide_ ? 2 : 1;
    std::size_t unmoved = 0;  // before the first tuple not kept
    while (unmoved < kept.size() && kept[unmoved] == unmoved) ++unmoved;
    for (std::size_t at = unmoved; at < kept.size(); ++at) {
      for (std::size_t word = 0; word < width; ++word) {
        words_[at * width + word] = words_[kept[at] * width + word];
      }
    }
    words_.resize(kept.size() * width);
    words_.shrink_to_fit();
  }
  // Asks the processor to fetch the start of `tuple`.
  void prefetch(std::size_t tuple) const {
    __builtin_prefetch(words_.data() + (wide_ ? 2 * tuple : tuple));
  }
  std::uint64_t operator[](std::size_t tuple) const {
    const std::uint64_t kept =
        wide_ ? words_[2 * tuple] | std::uint64_t{words_[2 * tuple + 1]} << 32 : words_[tuple];
    return kept - 1;  // 0, for none, wraps to kNone
  }

 private:
  // Per tuple one word, or where wide, two: the low half, then the high;
  // the start plus one, 0 for none.
  SmallArray words_;
  bool wide_ = false;  // last, so that a holder may use the padding after it
};

// How many leading columns are hidden, where exactly those are; else 0.
std::uint32_t hiddenPrefixOf(const ColumnBits& hidden);

// 88 bytes, plus its arrays: a join of many tiny operands costs little
// per operand.
// The first "\n" in [begin, end), which holds one. Rows are short, and a
// call to memchr for each tuple written costs more than the search: the
// first 64 bytes are looked at here, 16 at a time.
inline const char* lineEnd(const char* begin, const char* end) {
#if defined(__SSE2__)
  for (int block = 0; block < 4 && end - begin >= 16; ++block) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin));
    const int newlines = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')));
    if (newlines != 0) return begin + __builtin_ctz(static_cast<unsigned>(newlines));
    begin += 16;
  }
#endif
  return static_cast<const char*>(std::memchr(begin, '\n', static_cast<std::size_t>(end - begin)));
}

struct EncodedOperand {
  std::string_view text;  // tuple text from the first tuple held on
  SmallArray ids;         // tuple-major: 4 bytes per slot per tuple
  SmallArray alive;       // alive tuple numbers, ascending: 4 bytes per tuple
  // Per slot, how many ids its variable has: `width` values held by the
  // EncodedJoin.
  const std::uint32_t* domain = nullptr;
  [[no_unique_address]] TextStarts starts;  // per tuple held, relative to `text`
  // Set by compactOperand: the tuples held are the alive ones, numbered
  // 0..compactCount-1, and `alive` is empty.
  bool compacted = false;
  std::uint32_t compactCount = 0;
  // The number of the first tuple held: 0, except in a chunk of the
  // outermost operand.
  std::uint32_t base = 0;
  std::uint32_t width = 0;  // slots, as in OperandVars

  std::size_t aliveCount() const { return compacted ? compactCount : alive.size(); }
  // The number of the alive tuple `rank` places from the first.
  std::uint32_t aliveAt(std::size_t rank) const {
    return compacted ? static_cast<std::uint32_t>(rank) : alive[rank];
  }

  std::uint32_t id(std::uint32_t tuple, std::uint32_t slot) const {
    return ids[std::size_t{tuple - base} * width + slot];
  }
  const std::uint32_t* row(std::uint32_t tuple) const {
    return ids.data() + std::size_t{tuple - base} * width;
  }
  // Rows are written from tuples found at random places: fetching a tuple's
  // start, and later its text, a few rows ahead hides the cache misses.
  void prefetchStart(std::uint32_t tuple) const { starts.prefetch(tuple - base); }
  void prefetchShown(std::uint32_t tuple) const {
    const std::uint64_t start = starts[tuple - base];
    if (start != TextStarts::kNone) __builtin_prefetch(text.data() + start);
  }
  // The part of `tuple` that rows show (see TextStarts); without values
  // where nothing is shown.
  TupleView shown(std::uint32_t tuple) const {
    const std::uint64_t start = starts[tuple - base];
    if (start == TextStarts::kNone) return {};
    const char* begin = text.data() + start;
    const char* end = lineEnd(begin, text.data() + text.size());
    return {std::string_view(begin, static_cast<std::size_t>(end - begin)), true};
  }
};

// The operands' ids. The outermost operand is not held here: its tuples are
// split chunk by chunk as the enumeration reaches them (encodeChunk), so it
// costs no memory per tuple. Its entry gives only its width and domains.
struct EncodedJoin {
  std::vector<EncodedOperand> operands;
  std::vector<std::uint32_t> domainSize;   // per variable, the number of ids given
  std::vector<std::uint32_t> slotDomains;  // the domains of all operands' slots
  std::vector<Dictionary> dictionaries;    // per variable
  TextHashFn hash = nullptr;
};

// Splits the tuples of every operand but the first and numbers the
// variables' values. `hash` may be replaced, e.g. by one that collides on
// purpose in tests. `threads` sketch how many distinct values the large
// operands hold (see sketch.h); the ids are the same at any number.
// REQUIRES: every operand has fewer than 2^32 - 1 tuples; `hiddenColumns`
// as hiddenColumnsOf makes them.
EncodedJoin encodeOperands(const Operands& operands, const JoinClasses& classes,
                           const HiddenColumns& hiddenColumns, TextHashFn hash = hashText,
                           unsigned threads = 1);

// Drops the tuples of `operand` that are not alive, once no more are
// removed: the alive ones keep their order and are numbered from 0, and
// the list of them and the others' ids and starts cost no more memory.
// REQUIRES: `operand` holds its relation from tuple 0 on (base 0).
void compactOperand(EncodedOperand& operand);

// The operands as the enumeration sees them: those of an EncodedJoin, with
// the outermost one replaced by the chunk of it being enumerated.
class OperandsView {
 public:
  OperandsView(const EncodedJoin& join, const EncodedOperand& outer)
      : join_(&join), outer_(&outer) {}
  const EncodedOperand& operator[](std::size_t operandIdx) const {
    return operandIdx == 0 ? *outer_ : join_->operands[operandIdx];
  }

 private:
  const EncodedJoin* join_;
  const EncodedOperand* outer_;
};

struct EncodedView {
  OperandsView operands;
};

// Splits tuples [cursor.index(), end) of the outermost operand, `relation`
// with `vars` and `hidden`, into `chunk`, whose former contents it
// replaces. A tuple is alive if it has every value a condition names, its
// repeated names agree, and every value of a variable has an id (occurs in
// another operand). Its ids are those of `encoded`.
void encodeChunk(const Relation& relation, const OperandVars& vars, const ColumnBits& hidden,
                 const EncodedJoin& encoded, TupleCursor& cursor, std::uint32_t end,
                 EncodedOperand& chunk);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_COLUMNS_H_
