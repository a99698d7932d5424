#include "join/split.h"

#include <algorithm>
#include <string_view>

#include "join/threads.h"

namespace natjoin {
namespace {

// How many values ahead a lookup's dictionary slot is fetched, so that the
// cache misses of a large dictionary overlap instead of coming one at a
// time.
constexpr std::size_t kPrefetchAhead = 8;
// Tuples per block: its values stay in the cache until they are looked up.
constexpr std::uint32_t kBlock = 256;

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
// dead. Neither step is inlined into the loop over blocks: measured, the
// loop then ran 5 to 10% slower.
[[gnu::noinline]] void splitBlock(const SplitLayout& layout, TextHashFn hash, TupleCursor& cursor,
                                  std::uint64_t textBegin, std::uint32_t begin, std::uint32_t end,
                                  EncodedOperand& encoded, SplitBlock& block) {
  const OperandVars& vars = *layout.vars;
  block.begin = begin;
  block.end = end;
  block.found.clear();
  block.dead.assign(end - begin, 0);
  for (std::uint32_t held = begin; held < end; ++held) {
    const std::uint64_t start = cursor.offset() - textBegin;
    const TupleView view = cursor.next();
    if (!view.hasValues()) {
      block.dead[held - begin] = 1;
      continue;
    }
    if (layout.hiddenPrefix == 0 && layout.keepsStarts) encoded.starts.set(held, start);
    std::string_view rest = view.text();
    for (std::uint32_t position = 0;; ++position) {
      const std::size_t comma = rest.find(',');
      const std::uint32_t slot = vars.slotOfPosition[position];
      if (slot != kNoSlot && (layout.ownedSlots == nullptr || layout.ownedSlots[slot] != 0)) {
        const std::string_view value = rest.substr(0, comma);
        block.found.push_back({value, hash(value), held, position});
      }
      if (position + 1 == layout.hiddenPrefix && comma != std::string_view::npos &&
          layout.keepsStarts) {
        encoded.starts.set(
            held, start + static_cast<std::uint64_t>(rest.data() - view.text().data()) + comma + 1);
      }
      if (position == layout.lastPosition) break;
      if (comma == std::string_view::npos) {
        block.dead[held - begin] = 1;  // too short: a condition names a value it lacks
        break;
      }
      rest.remove_prefix(comma + 1);
    }
  }
}

// Where a part of an operand split on a thread of its own writes the
// numbers of its alive tuples: into room made for them beforehand.
struct AliveWriter {
  std::uint32_t* at;
  void push_back(std::uint32_t tuple) { *at++ = tuple; }
};

// Where a thread's share of an operand split by variables records its
// alive tuples: as bits.
struct AliveBits {
  std::vector<std::uint64_t>* bits;
  void push_back(std::uint32_t tuple) { (*bits)[tuple / 64] |= std::uint64_t{1} << (tuple % 64); }
};

// Looks up the values of `block` and adds its alive tuples to `alive`
// (`encoded.alive`, or an AliveWriter).
template <bool kIntern, typename Alive>
[[gnu::noinline]] void lookUpBlock(const SplitLayout& layout,
                                   std::conditional_t<kIntern, std::vector<Dictionary>,
                                                      const std::vector<Dictionary>>& dictionaries,
                                   SplitBlock& block, EncodedOperand& encoded, Alive& alive) {
  const OperandVars& vars = *layout.vars;
  const auto& found = block.found;
  for (std::size_t at = 0; at < found.size(); ++at) {
    if (at + kPrefetchAhead < found.size()) {
      const SplitBlock::Found& ahead = found[at + kPrefetchAhead];
      dictionaries[vars.vars[vars.slotOfPosition[ahead.position]]].prefetch(ahead.hash);
    }
    const SplitBlock::Found& value = found[at];
    std::uint8_t& dead = block.dead[value.held - block.begin];
    if (dead) continue;
    const std::uint32_t slot = vars.slotOfPosition[value.position];
    std::uint32_t id = 0;
    if constexpr (kIntern) {
      id = dictionaries[vars.vars[slot]].intern(value.value, value.hash);
    } else {
      id = dictionaries[vars.vars[slot]].find(value.value, value.hash);
      if (id == Dictionary::kMissing) {
        dead = 1;  // no other operand has the value
        continue;
      }
    }
    std::uint32_t& stored = encoded.ids[std::size_t{value.held} * encoded.width + slot];
    if (layout.firstPosition[slot] == value.position) {
      stored = id;
    } else if (stored != id) {
      dead = 1;  // one name, two values
    }
  }
  for (std::uint32_t held = block.begin; held < block.end; ++held) {
    if (!block.dead[held - block.begin]) alive.push_back(encoded.base + held);
  }
}

// Splits the tuples held [begin, end), read from `cursor`, a block at a
// time, adding the alive ones to `alive`.
template <bool kIntern, typename Alive>
void splitRange(const SplitLayout& layout,
                std::conditional_t<kIntern, std::vector<Dictionary>, const std::vector<Dictionary>>&
                    dictionaries,
                TextHashFn hash, TupleCursor& cursor, std::uint64_t textBegin, std::uint32_t begin,
                std::uint32_t end, EncodedOperand& encoded, Alive& alive) {
  SplitBlock block;
  for (std::uint32_t at = begin; at < end; at += kBlock) {
    splitBlock(layout, hash, cursor, textBegin, at, std::min(end, at + kBlock), encoded, block);
    lookUpBlock<kIntern>(layout, dictionaries, block, encoded, alive);
  }
}

}  // namespace

SplitLayout::SplitLayout(const OperandVars& operandVars, const ColumnBits& hidden)
    : vars(&operandVars), hiddenPrefix(hiddenPrefixOf(hidden)) {
  for (std::uint32_t position = 0; position < vars->slotOfPosition.size(); ++position) {
    if (vars->slotOfPosition[position] != kNoSlot) lastPosition = position;
  }
  firstPosition.assign(vars->vars.size(), UINT32_MAX);
  for (std::uint32_t position = 0; position <= lastPosition && !firstPosition.empty(); ++position) {
    const std::uint32_t slot = vars->slotOfPosition[position];
    if (slot != kNoSlot && firstPosition[slot] == UINT32_MAX) firstPosition[slot] = position;
  }
}

template <bool kIntern>
void splitTuples(const OperandVars& vars, const ColumnBits& hidden,
                 std::conditional_t<kIntern, std::vector<Dictionary>,
                                    const std::vector<Dictionary>>& dictionaries,
                 TextHashFn hash, TupleCursor& cursor, std::uint32_t end, EncodedOperand& encoded) {
  const std::uint64_t textBegin = cursor.offset();
  const std::uint32_t count = end - static_cast<std::uint32_t>(cursor.index());
  encoded.base = static_cast<std::uint32_t>(cursor.index());
  encoded.width = static_cast<std::uint32_t>(vars.vars.size());
  encoded.ids.assign(std::size_t{count} * encoded.width, 0);
  encoded.alive.clear();
  encoded.starts.reset(count, cursor.textSize() - textBegin);
  if (vars.vars.empty()) {
    // No variable: every tuple is alive, and only where it begins is kept.
    encoded.alive.resize(count);
    for (std::uint32_t held = 0; held < count; ++held) {
      const std::uint64_t start = cursor.offset() - textBegin;
      if (cursor.next().hasValues()) encoded.starts.set(held, start);
      encoded.alive[held] = encoded.base + held;
    }
    return;
  }
  if (kIntern) encoded.alive.reserve(count);
  splitRange<kIntern>(SplitLayout(vars, hidden), dictionaries, hash, cursor, textBegin, 0, count,
                      encoded, encoded.alive);
}

void splitTuplesInHalves(const OperandVars& vars, const ColumnBits& hidden,
                         std::vector<Dictionary>& dictionaries, TextHashFn hash,
                         const Relation& relation, const DictionaryRoom& room,
                         EncodedOperand& encoded) {
  const auto count = static_cast<std::uint32_t>(relation.tupleCount());
  const auto half = count / 2;
  TupleCursor first(relation, 0);
  const std::uint64_t textBegin = first.offset();
  encoded.base = 0;
  encoded.width = static_cast<std::uint32_t>(vars.vars.size());
  encoded.ids.assign(std::size_t{count} * encoded.width, 0);
  // Room for every tuple, the first half's from the front, the second's
  // from the middle; the second's are moved down behind the first's after.
  encoded.alive.assign(count, 0);
  encoded.starts.reset(count, first.textSize() - textBegin);
  const SplitLayout layout(vars, hidden);

  // The second half's values get ids of their own dictionaries, numbered
  // in the order of their first occurrence in that half.
  std::vector<Dictionary> own;
  own.reserve(dictionaries.size());
  for (std::size_t var = 0; var < dictionaries.size(); ++var) own.emplace_back(hash);
  for (const std::uint32_t var : vars.vars) {
    own[var].reserve(room.lowest, room.span, room.expected[var]);
    own[var].fillSoon();
  }
  AliveWriter firstAlive{encoded.alive.data()};
  AliveWriter secondAlive{encoded.alive.data() + half};
  runOnThreads(
      2, Unstarted::kDoHere,
      [&](unsigned part) {
        if (part == 0) {
          splitRange<true>(layout, dictionaries, hash, first, textBegin, 0, half, encoded,
                           firstAlive);
        } else {
          TupleCursor second(relation, half);
          splitRange<true>(layout, own, hash, second, textBegin, half, count, encoded, secondAlive);
        }
      },
      [] {});

  // Interned in the order of their ids, the second half's values get the
  // ids the shared dictionaries would have given them tuple by tuple: those
  // seen in the first half keep theirs, new ones come next in order of
  // first occurrence.
  std::vector<std::vector<std::uint32_t>> toShared(vars.vars.size());
  for (std::size_t slot = 0; slot < vars.vars.size(); ++slot) {
    const std::uint32_t var = vars.vars[slot];
    toShared[slot].resize(own[var].size());
    own[var].forEachValue([&](std::uint32_t id, std::string_view value) {
      toShared[slot][id] = dictionaries[var].intern(value, hash(value));
    });
    own[var] = Dictionary(hash);
  }
  std::uint32_t* const secondBegin = encoded.alive.data() + half;
  std::uint32_t* at = firstAlive.at;
  for (const std::uint32_t* tuple = secondBegin; tuple < secondAlive.at; ++tuple) {
    std::uint32_t* row = encoded.ids.data() + std::size_t{*tuple} * encoded.width;
    for (std::size_t slot = 0; slot < toShared.size(); ++slot) {
      row[slot] = toShared[slot][row[slot]];
    }
    *at++ = *tuple;
  }
  encoded.alive.resize(static_cast<std::size_t>(at - encoded.alive.data()));
}

void splitOwnedSlots(const OperandVars& vars, const ColumnBits& hidden,
                     const std::uint8_t* ownedSlots, bool keepsStarts,
                     std::vector<Dictionary>& dictionaries, TextHashFn hash,
                     const Relation& relation, EncodedOperand& encoded,
                     std::vector<std::uint64_t>& alive) {
  const auto count = static_cast<std::uint32_t>(relation.tupleCount());
  TupleCursor cursor(relation, 0);
  SplitLayout layout(vars, hidden);
  layout.ownedSlots = ownedSlots;
  layout.keepsStarts = keepsStarts;
  alive.assign((std::size_t{count} + 63) / 64, 0);
  AliveBits bits{&alive};
  splitRange<true>(layout, dictionaries, hash, cursor, cursor.offset(), 0, count, encoded, bits);
}

template void splitTuples<true>(const OperandVars&, const ColumnBits&, std::vector<Dictionary>&,
                                TextHashFn, TupleCursor&, std::uint32_t, EncodedOperand&);
template void splitTuples<false>(const OperandVars&, const ColumnBits&,
                                 const std::vector<Dictionary>&, TextHashFn, TupleCursor&,
                                 std::uint32_t, EncodedOperand&);

}  // namespace natjoin
