#include "join/columns.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <functional>
#include <string_view>

#include "join/key_table.h"
#include "join/sketch.h"
#include "join/split.h"
#include "join/threads.h"

namespace natjoin {

std::uint32_t hiddenPrefixOf(const ColumnBits& hidden) {
  std::uint32_t prefix = 0;
  while (prefix < hidden.size() && hidden[prefix]) ++prefix;
  for (std::size_t position = prefix; position < hidden.size(); ++position) {
    if (hidden[position]) return 0;
  }
  return prefix;
}

namespace {

// The fewest tuples an operand is split in two halves for: below, a thread
// costs more than half the work saves.
constexpr std::size_t kMinHalvedTuples = std::size_t{1} << 15;
// How many values each distinct one must come in, about, for the second
// half's values to be few enough to intern again.
constexpr std::size_t kHalvedRepeats = 4;

// Whether splitting `relation` in two halves pays: it is large, and each of
// its variables is known to have few distinct values against its tuples
// (`distinct` and `mostlyRepeats` as estimateDistinct gives them).
bool splitsInHalves(const Relation& relation, const OperandVars& vars,
                    const std::vector<std::size_t>& distinct,
                    const std::vector<std::uint8_t>& mostlyRepeats) {
  const std::size_t tuples = relation.tupleCount();
  if (tuples < kMinHalvedTuples || vars.vars.empty()) return false;
  return std::all_of(vars.vars.begin(), vars.vars.end(), [&](std::uint32_t var) {
    return mostlyRepeats[var] != 0 ||
           (distinct[var] != 0 && distinct[var] * kHalvedRepeats <= tuples);
  });
}

// The thread that splits each variable's values, where the operands after
// the first are split by variables on `threads` threads: each thread
// splits the operands having its variables, all their tuples but only
// those variables' values. The variables are shared out by their values,
// the most first, each to the thread with the fewest so far. Empty where
// that does not pay: fewer than two variables have values, the operands
// are small, or one is split in halves instead (its values mostly
// repeat).
std::vector<std::uint32_t> ownersOfVars(const Operands& operands, const JoinClasses& classes,
                                        const std::vector<std::size_t>& valueCount,
                                        const std::vector<std::size_t>& distinct,
                                        const std::vector<std::uint8_t>& mostlyRepeats,
                                        unsigned threads) {
  std::vector<std::uint32_t> vars;
  for (std::uint32_t var = 0; var < classes.varCount; ++var) {
    if (valueCount[var] != 0) vars.push_back(var);
  }
  std::size_t tuples = 0;
  for (std::size_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
    tuples += operands[operandIdx]->tupleCount();
  }
  if (threads < 2 || vars.size() < 2 || tuples < kMinHalvedTuples) return {};
  for (std::size_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
    if (splitsInHalves(*operands[operandIdx], classes.operands[operandIdx], distinct,
                       mostlyRepeats)) {
      return {};
    }
  }
  std::stable_sort(vars.begin(), vars.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return valueCount[a] > valueCount[b]; });
  const auto parts = static_cast<std::uint32_t>(std::min<std::size_t>(threads, vars.size()));
  std::vector<std::size_t> load(parts, 0);
  std::vector<std::uint32_t> owner(classes.varCount, 0);
  for (const std::uint32_t var : vars) {
    const auto least =
        static_cast<std::uint32_t>(std::min_element(load.begin(), load.end()) - load.begin());
    owner[var] = least;
    load[least] += valueCount[var];
  }
  return owner;
}

// Splits the operands after the first by variables, on a thread per owner
// `owners` names (see ownersOfVars), giving back each dictionary once its
// last holder (`lastHolder`) is split. A tuple is alive where every thread
// splitting its operand found it so. The ids are those of splitting the
// operands one after the other: each variable's values come to its
// dictionary in the same order, operand by operand, tuple by tuple.
void splitByVars(const Operands& operands, const JoinClasses& classes,
                 const HiddenColumns& hiddenColumns, const std::vector<std::uint32_t>& owners,
                 const std::vector<std::uint32_t>& lastHolder, EncodedJoin& encoded) {
  const unsigned parts = *std::max_element(owners.begin(), owners.end()) + 1;
  // Per operand and thread, its alive tuples as bits; none where the
  // thread owns none of the operand's variables.
  std::vector<std::vector<std::vector<std::uint64_t>>> alive(operands.size());
  for (std::size_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
    const Relation& relation = *operands[operandIdx];
    EncodedOperand& operand = encoded.operands[operandIdx];
    const OperandVars& vars = classes.operands[operandIdx];
    operand.text = relation.tupleText();
    operand.base = 0;
    operand.width = static_cast<std::uint32_t>(vars.vars.size());
    alive[operandIdx].resize(parts);
    if (vars.vars.empty()) continue;
    operand.ids.assign(relation.tupleCount() * operand.width, 0);
    TupleCursor cursor(relation, 0);
    operand.starts.reset(relation.tupleCount(), cursor.textSize() - cursor.offset());
  }
  std::atomic<bool> stopped{false};
  runOnThreads(
      parts, Unstarted::kDoHere,
      [&](unsigned part) {
        std::vector<std::uint8_t> owned;
        for (std::uint32_t operandIdx = 1; operandIdx < operands.size() && !stopped; ++operandIdx) {
          const Relation& relation = *operands[operandIdx];
          const OperandVars& vars = classes.operands[operandIdx];
          EncodedOperand& operand = encoded.operands[operandIdx];
          if (vars.vars.empty()) {
            if (part == 0) {
              TupleCursor cursor(relation, 0);
              splitTuples<true>(vars, hiddenColumns[operandIdx], encoded.dictionaries, encoded.hash,
                                cursor, static_cast<std::uint32_t>(relation.tupleCount()), operand);
            }
            continue;
          }
          owned.assign(vars.vars.size(), 0);
          bool any = false;
          for (std::size_t slot = 0; slot < vars.vars.size(); ++slot) {
            owned[slot] = owners[vars.vars[slot]] == part ? 1 : 0;
            any = any || owned[slot] != 0;
          }
          if (!any) continue;
          for (const std::uint32_t var : vars.vars) {
            if (owners[var] == part) encoded.dictionaries[var].fillSoon();
          }
          splitOwnedSlots(vars, hiddenColumns[operandIdx], owned.data(),
                          owners[vars.vars[0]] == part, encoded.dictionaries, encoded.hash,
                          relation, operand, alive[operandIdx][part]);
          for (const std::uint32_t var : vars.vars) {
            if (owners[var] != part || lastHolder[var] != operandIdx) continue;
            encoded.domainSize[var] = encoded.dictionaries[var].size();
            encoded.dictionaries[var] = Dictionary(encoded.hash);
          }
        }
      },
      [&] { stopped = true; });
  for (std::size_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
    if (classes.operands[operandIdx].vars.empty()) continue;
    const auto count = static_cast<std::uint32_t>(operands[operandIdx]->tupleCount());
    std::vector<std::vector<std::uint64_t>>& bits = alive[operandIdx];
    std::erase_if(bits, [](const std::vector<std::uint64_t>& part) { return part.empty(); });
    SmallArray& list = encoded.operands[operandIdx].alive;
    list.clear();
    for (std::uint32_t word = 0; word * 64 < count; ++word) {
      std::uint64_t both = ~std::uint64_t{0};
      for (const auto& part : bits) both &= part[word];
      for (; both != 0; both &= both - 1) {
        list.push_back(word * 64 + static_cast<std::uint32_t>(std::countr_zero(both)));
      }
    }
    bits.clear();
    bits.shrink_to_fit();
  }
}

}  // namespace

EncodedJoin encodeOperands(const Operands& operands, const JoinClasses& classes,
                           const HiddenColumns& hiddenColumns, TextHashFn hash, unsigned threads) {
  EncodedJoin encoded;
  encoded.hash = hash;
  encoded.dictionaries.reserve(classes.varCount);
  for (std::uint32_t var = 0; var < classes.varCount; ++var)
    encoded.dictionaries.emplace_back(hash);
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
  std::vector<std::uint8_t> mostlyRepeats;
  const std::vector<std::size_t> distinct =
      estimateDistinct(operands, classes, hiddenColumns, valueCount, hash, threads, &mostlyRepeats);
  for (std::uint32_t var = 0; var < classes.varCount; ++var) {
    encoded.dictionaries[var].reserve(lowest, span, distinct[var]);
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
  const std::vector<std::uint32_t> owners =
      ownersOfVars(operands, classes, valueCount, distinct, mostlyRepeats, threads);
  if (!owners.empty()) {
    splitByVars(operands, classes, hiddenColumns, owners, lastHolder, encoded);
  }
  for (std::uint32_t operandIdx = 1; operandIdx < operands.size() && owners.empty(); ++operandIdx) {
    const Relation& relation = *operands[operandIdx];
    EncodedOperand& operand = encoded.operands[operandIdx];
    operand.text = relation.tupleText();
    const OperandVars& vars = classes.operands[operandIdx];
    for (const std::uint32_t var : vars.vars) encoded.dictionaries[var].fillSoon();
    if (threads > 1 && splitsInHalves(relation, vars, distinct, mostlyRepeats)) {
      splitTuplesInHalves(vars, hiddenColumns[operandIdx], encoded.dictionaries, hash, relation,
                          {lowest, span, distinct}, operand);
    } else {
      TupleCursor cursor(relation, 0);
      splitTuples<true>(vars, hiddenColumns[operandIdx], encoded.dictionaries, hash, cursor,
                        static_cast<std::uint32_t>(relation.tupleCount()), operand);
    }
    for (const std::uint32_t var : classes.operands[operandIdx].vars) {
      if (lastHolder[var] != operandIdx) continue;
      encoded.domainSize[var] = encoded.dictionaries[var].size();
      encoded.dictionaries[var] = Dictionary(hash);
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
  // The tuples before the first one not alive stay where they are: where
  // all are alive, nothing is copied.
  std::size_t unmoved = 0;
  while (unmoved < operand.alive.size() && operand.alive[unmoved] == unmoved) ++unmoved;
  for (std::size_t rank = unmoved; rank < operand.alive.size(); ++rank) {
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
  splitTuples<false>(vars, hidden, encoded.dictionaries, encoded.hash, cursor, end, chunk);
}

}  // namespace natjoin
