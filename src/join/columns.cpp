#include "join/columns.h"

#include <string_view>

#include "join/key_table.h"

namespace natjoin {
namespace {

// Text -> id for one variable. Open addressing over the ids; each id keeps
// its text (a view into the database) and hash.
class Dictionary {
 public:
  explicit Dictionary(TextHashFn hash) : hash_(hash) {}

  std::uint32_t intern(std::string_view value) {
    if (texts_.size() * 2 >= table_.size()) grow();
    const std::uint64_t hash = hash_(value);
    for (std::size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
      const std::uint32_t entry = table_[slot];
      if (entry == 0) {
        table_[slot] = static_cast<std::uint32_t>(texts_.size() + 1);
        texts_.push_back(value);
        hashes_.push_back(hash);
        return entry_(texts_.size() - 1);
      }
      if (hashes_[entry - 1] == hash && texts_[entry - 1] == value) return entry - 1;
    }
  }
  std::uint32_t size() const { return static_cast<std::uint32_t>(texts_.size()); }

 private:
  static std::uint32_t entry_(std::size_t index) { return static_cast<std::uint32_t>(index); }

  void grow() {
    const std::size_t capacity = table_.empty() ? 64 : table_.size() * 2;
    table_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (std::size_t idx = 0; idx < texts_.size(); ++idx) {
      std::size_t slot = hashes_[idx] & mask_;
      while (table_[slot] != 0) slot = (slot + 1) & mask_;
      table_[slot] = static_cast<std::uint32_t>(idx + 1);
    }
  }

  TextHashFn hash_;
  std::vector<std::uint32_t> table_;  // id + 1, 0 marks a free slot
  std::size_t mask_ = 0;
  std::vector<std::string_view> texts_;
  std::vector<std::uint64_t> hashes_;
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
  encoded.width = static_cast<std::uint32_t>(vars.vars.size());
  encoded.ids.assign(tupleCount * encoded.width, 0);
  if (encoded.width == 0) {
    encoded.alive.resize(tupleCount);
    for (std::uint32_t tuple = 0; tuple < tupleCount; ++tuple) encoded.alive[tuple] = tuple;
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
  for (std::uint32_t tuple = 0; tuple < tupleCount; ++tuple) {
    const TupleView view = relation.tuple(tuple);
    if (!view.hasValues()) continue;
    std::uint32_t* row = encoded.ids.data() + std::size_t{tuple} * encoded.width;
    std::string_view rest = view.text();
    bool ok = true;
    for (std::uint32_t position = 0;; ++position) {
      const std::size_t comma = rest.find(',');
      const std::uint32_t slot = vars.slotOfPosition[position];
      if (slot != kNoSlot) {
        const std::uint32_t var = vars.vars[slot];
        const std::uint32_t id = dictionaries[var].intern(rest.substr(0, comma));
        if (firstPosition[slot] == position) {
          row[slot] = id;
        } else if (row[slot] != id) {
          ok = false;
          break;
        }
      }
      if (position + 1 == hiddenPrefix && comma != std::string_view::npos) {
        encoded.visibleFrom[tuple] =
            static_cast<std::uint32_t>(rest.data() - view.text().data() + comma + 1);
      }
      if (position == lastPosition) break;
      if (comma == std::string_view::npos) {
        ok = false;  // too short: a condition names a value it lacks
        break;
      }
      rest.remove_prefix(comma + 1);
    }
    if (ok) encoded.alive.push_back(tuple);
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
