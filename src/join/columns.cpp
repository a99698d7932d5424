#include "join/columns.h"

#include <algorithm>
#include <string_view>

#include "join/key_table.h"

namespace natjoin {
namespace {

// Tuples split per block, and how many values ahead dictionary slots are
// fetched.
constexpr std::size_t kEncodeBlock = 256;
constexpr std::size_t kPrefetchAhead = 8;

// Text -> id for one variable. Open addressing; a slot holds the high half
// of the value's hash beside its id, so that most slots that do not match
// are passed over without looking at the text. The texts are views into the
// database. Cost per distinct value: 16 bytes of view, 4 of hash, and 16 of
// table at most.
class Dictionary {
 public:
  explicit Dictionary(TextHashFn hashFn) : hash_(hashFn) {}

  std::uint64_t hashOf(std::string_view value) const { return hash_(value); }
  // Fetches the slot where a value of hash `hash` will be looked for.
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask_]);
  }

  std::uint32_t intern(std::string_view value, std::uint64_t hash) {
    if (texts_.size() * 2 >= slots_.size()) grow();
    const std::uint64_t tag = hash >> 32;
    for (std::size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
      const std::uint64_t entry = slots_[slot];
      if (entry == 0) {
        const auto id = static_cast<std::uint32_t>(texts_.size());
        slots_[slot] = (tag << 32) | (std::uint64_t{id} + 1);
        texts_.push_back(value);
        hashLows_.push_back(static_cast<std::uint32_t>(hash));
        return id;
      }
      const auto id = static_cast<std::uint32_t>(entry) - 1;
      if ((entry >> 32) == tag && texts_[id] == value) return id;
    }
  }
  std::uint32_t size() const { return static_cast<std::uint32_t>(texts_.size()); }

 private:
  void grow() {
    const std::size_t capacity = slots_.empty() ? 64 : slots_.size() * 2;
    std::vector<std::uint64_t> old(capacity, 0);
    old.swap(slots_);
    mask_ = capacity - 1;
    for (const std::uint64_t entry : old) {
      if (entry == 0) continue;
      std::size_t slot = hashLows_[static_cast<std::uint32_t>(entry) - 1] & mask_;
      while (slots_[slot] != 0) slot = (slot + 1) & mask_;
      slots_[slot] = entry;
    }
  }

  TextHashFn hash_;
  std::vector<std::uint64_t> slots_;  // tag << 32 | (id + 1); 0 marks a free slot
  std::size_t mask_ = 0;
  std::vector<std::string_view> texts_;
  std::vector<std::uint32_t> hashLows_;  // the low half of each id's hash
};

// How many leading positions are hidden, where exactly those are: then
// the written part of a tuple is the text after that many commas.
std::uint32_t hiddenPrefixOf(const std::vector<bool>& hidden) {
  std::uint32_t prefix = 0;
  while (prefix < hidden.size() && hidden[prefix]) ++prefix;
  for (std::size_t position = prefix; position < hidden.size(); ++position) {
    if (hidden[position]) return 0;
  }
  return prefix;
}

void encodeOperand(const Relation& relation, const OperandVars& vars,
                   const std::vector<bool>& hidden, std::vector<Dictionary>& dictionaries,
                   EncodedOperand& encoded) {
  const std::size_t tupleCount = relation.tupleCount();
  encoded.text = relation.tupleText();
  encoded.ends.reset(tupleCount, encoded.text.size());
  encoded.width = static_cast<std::uint32_t>(vars.vars.size());
  encoded.ids.assign(tupleCount * encoded.width, 0);
  TupleCursor cursor(relation, 0);
  if (encoded.width == 0) {
    encoded.alive.resize(tupleCount);
    for (std::uint32_t tuple = 0; tuple < tupleCount; ++tuple) {
      cursor.next();
      encoded.ends.set(tuple, cursor.offset());
      encoded.alive[tuple] = tuple;
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
  if (hiddenPrefix > 0) encoded.visibleFrom.assign(tupleCount, kNothingVisible);
  encoded.alive.reserve(tupleCount);

  // Tuples go in blocks: first every value of the block is found and
  // hashed, then the values are looked up, each dictionary slot fetched a
  // few values ahead, so that the cache misses of a large dictionary
  // overlap instead of coming one at a time.
  struct Found {
    std::string_view value;
    std::uint64_t hash;
    std::uint32_t tuple;
    std::uint32_t position;
  };
  std::vector<Found> found;
  std::vector<std::uint8_t> dead;
  for (std::uint32_t blockBegin = 0; blockBegin < tupleCount; blockBegin += kEncodeBlock) {
    const std::uint32_t blockEnd =
        static_cast<std::uint32_t>(std::min<std::size_t>(tupleCount, blockBegin + kEncodeBlock));
    found.clear();
    dead.assign(blockEnd - blockBegin, 0);
    for (std::uint32_t tuple = blockBegin; tuple < blockEnd; ++tuple) {
      const TupleView view = cursor.next();
      encoded.ends.set(tuple, cursor.offset());
      if (!view.hasValues()) {
        dead[tuple - blockBegin] = 1;
        continue;
      }
      std::string_view rest = view.text();
      for (std::uint32_t position = 0;; ++position) {
        const std::size_t comma = rest.find(',');
        const std::uint32_t slot = vars.slotOfPosition[position];
        if (slot != kNoSlot) {
          const std::string_view value = rest.substr(0, comma);
          found.push_back({value, dictionaries[vars.vars[slot]].hashOf(value), tuple, position});
        }
        if (position + 1 == hiddenPrefix && comma != std::string_view::npos) {
          encoded.visibleFrom[tuple] = static_cast<std::uint32_t>(
              static_cast<std::size_t>(rest.data() - view.text().data()) + comma + 1);
        }
        if (position == lastPosition) break;
        if (comma == std::string_view::npos) {
          dead[tuple - blockBegin] = 1;  // too short: a condition names a value it lacks
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
      if (dead[value.tuple - blockBegin]) continue;
      const std::uint32_t slot = vars.slotOfPosition[value.position];
      const std::uint32_t id = dictionaries[vars.vars[slot]].intern(value.value, value.hash);
      std::uint32_t& stored = encoded.ids[std::size_t{value.tuple} * encoded.width + slot];
      if (firstPosition[slot] == value.position) {
        stored = id;
      } else if (stored != id) {
        dead[value.tuple - blockBegin] = 1;  // one name, two values
      }
    }
    for (std::uint32_t tuple = blockBegin; tuple < blockEnd; ++tuple) {
      if (!dead[tuple - blockBegin]) encoded.alive.push_back(tuple);
    }
  }
}

}  // namespace

std::uint64_t hashText(std::string_view text) { return hashValue(text, kHashSeed); }

EncodedJoin encodeOperands(const Operands& operands, const JoinClasses& classes,
                           const HiddenColumns& hiddenColumns, TextHashFn hash) {
  EncodedJoin encoded;
  std::vector<Dictionary> dictionaries(classes.varCount, Dictionary(hash));
  encoded.operands.resize(operands.size());
  for (std::size_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    encodeOperand(*operands[operandIdx], classes.operands[operandIdx], hiddenColumns[operandIdx],
                  dictionaries, encoded.operands[operandIdx]);
  }
  encoded.domainSize.resize(classes.varCount);
  for (std::uint32_t var = 0; var < classes.varCount; ++var) {
    encoded.domainSize[var] = dictionaries[var].size();
  }
  for (std::size_t operandIdx = 0; operandIdx < operands.size(); ++operandIdx) {
    for (const std::uint32_t var : classes.operands[operandIdx].vars) {
      encoded.operands[operandIdx].domain.push_back(encoded.domainSize[var]);
    }
  }
  return encoded;
}

}  // namespace natjoin
