#include "join/columns.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string_view>

#include "join/key_table.h"

namespace natjoin {
namespace {

// Tuples split per block, and how many values ahead dictionary slots are
// fetched.
constexpr std::size_t kEncodeBlock = 256;
constexpr std::size_t kPrefetchAhead = 8;

// Splits tuples [cursor.index(), end) of one operand into `encoded`. Where
// kIntern, every value gets an id, new or not; else a value that has none
// (no other operand has it) leaves its tuple dead. A variable is in two
// operands at least, so the dictionaries of the others hold every value of
// the outermost operand that can be in a row.
template <bool kIntern>
void encodeRange(const OperandVars& vars, const ColumnBits& hidden,
                 std::conditional_t<kIntern, std::vector<Dictionary>,
                                    const std::vector<Dictionary>>& dictionaries,
                 TextHashFn hash, TupleCursor& cursor, std::uint32_t end, EncodedOperand& encoded) {
  const std::uint32_t base = static_cast<std::uint32_t>(cursor.index());
  const std::size_t tupleCount = end - base;
  const std::uint64_t textBegin = cursor.offset();
  encoded.base = base;
  encoded.width = static_cast<std::uint32_t>(vars.vars.size());
  encoded.ids.assign(tupleCount * encoded.width, 0);
  encoded.alive.clear();
  encoded.starts.reset(tupleCount, cursor.textSize() - textBegin);
  if (encoded.width == 0) {
    encoded.alive.resize(tupleCount);
    for (std::uint32_t held = 0; held < tupleCount; ++held) {
      const std::uint64_t start = cursor.offset() - textBegin;
      if (cursor.next().hasValues()) encoded.starts.set(held, start);
      encoded.alive[held] = base + held;
    }
    return;
  }
  // The last position that is a variable: values after it are not looked at.
  std::uint32_t lastPosition = 0;
  for (std::uint32_t position = 0; position < vars.slotOfPosition.size(); ++position) {
    if (vars.slotOfPosition[position] != kNoSlot) lastPosition = position;
  }
  // The first position of each slot, to tell a slot's first value from a
  // repeat that must equal it.
  std::vector<std::uint32_t> firstPosition(encoded.width, UINT32_MAX);
  for (std::uint32_t position = 0; position <= lastPosition; ++position) {
    const std::uint32_t slot = vars.slotOfPosition[position];
    if (slot != kNoSlot && firstPosition[slot] == UINT32_MAX) firstPosition[slot] = position;
  }
  // Hidden positions are variables, so an alive tuple has them all.
  const std::uint32_t hiddenPrefix = hiddenPrefixOf(hidden);
  if (kIntern) encoded.alive.reserve(tupleCount);

  // Tuples go in blocks: first every value of the block is found and
  // hashed, then the values are looked up, each dictionary slot fetched a
  // few values ahead, so that the cache misses of a large dictionary
  // overlap instead of coming one at a time.
  struct Found {
    std::string_view value;
    std::uint64_t hash;
    std::uint32_t held;
    std::uint32_t position;
  };
  std::vector<Found> found;
  std::vector<std::uint8_t> dead;
  for (std::uint32_t blockBegin = 0; blockBegin < tupleCount; blockBegin += kEncodeBlock) {
    const std::uint32_t blockEnd =
        static_cast<std::uint32_t>(std::min<std::size_t>(tupleCount, blockBegin + kEncodeBlock));
    found.clear();
    dead.assign(blockEnd - blockBegin, 0);
    for (std::uint32_t held = blockBegin; held < blockEnd; ++held) {
      const std::uint64_t start = cursor.offset() - textBegin;
      const TupleView view = cursor.next();
      if (!view.hasValues()) {
        dead[held - blockBegin] = 1;
        continue;
      }
      if (hiddenPrefix == 0) encoded.starts.set(held, start);
      std::string_view rest = view.text();
      for (std::uint32_t position = 0;; ++position) {
        const std::size_t comma = rest.find(',');
        const std::uint32_t slot = vars.slotOfPosition[position];
        if (slot != kNoSlot) {
          const std::string_view value = rest.substr(0, comma);
          found.push_back({value, hash(value), held, position});
        }
        if (position + 1 == hiddenPrefix && comma != std::string_view::npos) {
          encoded.starts.set(
              held,
              start + static_cast<std::uint64_t>(rest.data() - view.text().data()) + comma + 1);
        }
        if (position == lastPosition) break;
        if (comma == std::string_view::npos) {
          dead[held - blockBegin] = 1;  // too short: a condition names a value it lacks
          break;
        }
        rest.remove_prefix(comma + 1);
      }
    }
    for (std::size_t at = 0; at < found.size(); ++at) {
      if (at + kPrefetchAhead < found.size()) {
        const Found& ahead = found[at + kPrefetchAhead];
        dictionaries[vars.vars[vars.slotOfPosition[ahead.position]]].prefetch(ahead.hash);
      }
      const Found& value = found[at];
      if (dead[value.held - blockBegin]) continue;
      const std::uint32_t slot = vars.slotOfPosition[value.position];
      std::uint32_t id = 0;
      if constexpr (kIntern) {
        id = dictionaries[vars.vars[slot]].intern(value.value, value.hash);
      } else {
        id = dictionaries[vars.vars[slot]].find(value.value, value.hash);
        if (id == Dictionary::kMissing) {
          dead[value.held - blockBegin] = 1;  // no other operand has the value
          continue;
        }
      }
      std::uint32_t& stored = encoded.ids[std::size_t{value.held} * encoded.width + slot];
      if (firstPosition[slot] == value.position) {
        stored = id;
      } else if (stored != id) {
        dead[value.held - blockBegin] = 1;  // one name, two values
      }
    }
    for (std::uint32_t held = blockBegin; held < blockEnd; ++held) {
      if (!dead[held - blockBegin]) encoded.alive.push_back(base + held);
    }
  }
}

}  // namespace

std::uint32_t hiddenPrefixOf(const ColumnBits& hidden) {
  std::uint32_t prefix = 0;
  while (prefix < hidden.size() && hidden[prefix]) ++prefix;
  for (std::size_t position = prefix; position < hidden.size(); ++position) {
    if (hidden[position]) return 0;
  }
  return prefix;
}

std::uint64_t hashText(std::string_view text) { return hashValue(text, kHashSeed); }

EncodedJoin encodeOperands(const Operands& operands, const JoinClasses& classes,
                           const HiddenColumns& hiddenColumns, TextHashFn hash) {
  EncodedJoin encoded;
  encoded.hash = hash;
  encoded.dictionaries.resize(classes.varCount);
  encoded.operands.resize(operands.size());
  // Every column of a variable in an operand but the first can bring each
  // of its tuples' values into the dictionary.
  std::vector<std::size_t> valueCount(classes.varCount, 0);
  for (std::size_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
    const OperandVars& vars = classes.operands[operandIdx];
    for (const std::uint32_t slot : vars.slotOfPosition) {
      if (slot != kNoSlot) valueCount[vars.vars[slot]] += operands[operandIdx]->tupleCount();
    }
  }
  // Where those operands' texts lie, so that a value's place is kept in 4
  // bytes where they lie within 4 GiB, as in a database read from a file.
  const char* lowest = nullptr;
  const char* highest = nullptr;
  for (std::size_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
    const std::string_view text = operands[operandIdx]->tupleText();
    if (lowest == nullptr || std::less<>()(text.data(), lowest)) lowest = text.data();
    if (highest == nullptr || std::less<>()(highest, text.data() + text.size())) {
      highest = text.data() + text.size();
    }
  }
  const auto span = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(highest) -
                                               reinterpret_cast<std::uintptr_t>(lowest));
  for (std::uint32_t var = 0; var < classes.varCount; ++var) {
    encoded.dictionaries[var].reserve(valueCount[var], lowest, span);
  }
  // A dictionary is needed until the last operand having its variable is
  // split, and for the outermost operand's variables, whose chunks are
  // split as the enumeration goes. The others are given back as soon as
  // they are done: their values cost more than the operands' ids where
  // most values are distinct.
  std::vector<std::uint32_t> lastHolder(classes.varCount, 0);
  for (std::uint32_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
    for (const std::uint32_t var : classes.operands[operandIdx].vars) lastHolder[var] = operandIdx;
  }
  for (const std::uint32_t var : classes.operands[0].vars) lastHolder[var] = UINT32_MAX;
  encoded.domainSize.resize(classes.varCount);
  for (std::uint32_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
    const Relation& relation = *operands[operandIdx];
    EncodedOperand& operand = encoded.operands[operandIdx];
    operand.text = relation.tupleText();
    TupleCursor cursor(relation, 0);
    encodeRange<true>(classes.operands[operandIdx], hiddenColumns[operandIdx], encoded.dictionaries,
                      hash, cursor, static_cast<std::uint32_t>(relation.tupleCount()), operand);
    for (const std::uint32_t var : classes.operands[operandIdx].vars) {
      if (lastHolder[var] != operandIdx) continue;
      encoded.domainSize[var] = encoded.dictionaries[var].size();
      encoded.dictionaries[var] = Dictionary();
    }
  }
  for (const std::uint32_t var : classes.operands[0].vars) {
    encoded.domainSize[var] = encoded.dictionaries[var].size();
  }
  std::size_t slotCount = 0;
  for (const OperandVars& vars : classes.operands) slotCount += vars.vars.size();
  encoded.slotDomains.reserve(slotCount);
  for (std::size_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    EncodedOperand& operand = encoded.operands[operandIdx];
    operand.width = static_cast<std::uint32_t>(classes.operands[operandIdx].vars.size());
    operand.domain = encoded.slotDomains.data() + encoded.slotDomains.size();
    for (const std::uint32_t var : classes.operands[operandIdx].vars) {
      encoded.slotDomains.push_back(encoded.domainSize[var]);
    }
  }
  return encoded;
}

void compactOperand(EncodedOperand& operand) {
  const std::size_t width = operand.width;
  for (std::size_t rank = 0; rank < operand.alive.size(); ++rank) {
    // rank <= alive[rank]: each row moves to the front, never over one
    // still to be moved.
    const std::uint32_t* from = operand.row(operand.alive[rank]);
    std::copy(from, from + width, operand.ids.begin() + static_cast<std::ptrdiff_t>(rank * width));
  }
  operand.ids.resize(operand.alive.size() * width);
  operand.ids.shrink_to_fit();
  operand.starts.keepOnly(operand.alive);
  operand.compactCount = static_cast<std::uint32_t>(operand.alive.size());
  operand.compacted = true;
  operand.alive = SmallArray();
}

void encodeChunk(const Relation& relation, const OperandVars& vars, const ColumnBits& hidden,
                 const EncodedJoin& encoded, TupleCursor& cursor, std::uint32_t end,
                 EncodedOperand& chunk) {
  chunk.text = relation.tupleText().substr(cursor.offset());
  chunk.domain = encoded.operands[0].domain;
  encodeRange<false>(vars, hidden, encoded.dictionaries, encoded.hash, cursor, end, chunk);
}

}  // namespace natjoin
