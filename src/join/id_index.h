// An index of one operand's alive tuples on the ids in some of its slots:
// for each key, the tuples holding it, in ascending tuple order, so that a
// lookup yields candidates in the order of the nested loop.
//
// Cost: 4 bytes per indexed tuple, 4 per group, and the key table
// (KeyTable) of the distinct keys; keys whose variables have at most a few
// combinations of ids per tuple need no key table, one group per
// combination instead.
#ifndef NATJOIN_JOIN_ID_INDEX_H_
#define NATJOIN_JOIN_ID_INDEX_H_

#include <cstdint>
#include <span>
#include <vector>

#include "join/columns.h"
#include "join/key_table.h"

namespace natjoin {

class IdIndex {
 public:
  // Indexes `operand`'s alive tuples on `slots` (any order, no repeats; none
  // makes one group of all alive tuples).
  IdIndex(const EncodedOperand& operand, std::vector<std::uint32_t> slots,
          KeyTable::HashFn hash = hashIds);

  const std::vector<std::uint32_t>& slots() const { return slots_; }
  // The tuples whose ids in slots() equal `key`, ascending; empty if none.
  std::span<const std::uint32_t> lookup(const std::uint32_t* key) const {
    if (!direct_) return group(table_.find(key));
    std::uint64_t number = 0;
    for (std::size_t keyIdx = 0; keyIdx < slots_.size(); ++keyIdx) {
      if (key[keyIdx] >= domains_[keyIdx]) return {};
      number = number * domains_[keyIdx] + key[keyIdx];
    }
    return group(static_cast<std::uint32_t>(number));
  }
  std::span<const std::uint32_t> group(std::uint32_t number) const {
    if (number == KeyTable::kNone) return {};
    return {members_.data() + groupStart_[number], groupStart_[number + 1] - groupStart_[number]};
  }

 private:
  std::vector<std::uint32_t> slots_;
  // Where the slots' variables have few ids together (no more combinations
  // than a few per tuple), a key is its own group number, read as a number
  // in mixed radix: no hashing, and groups of absent keys are empty.
  bool direct_ = false;
  std::vector<std::uint32_t> domains_;  // per slot, when direct
  KeyTable table_;
  std::vector<std::uint32_t> groupStart_;  // per group, where its members begin
  std::vector<std::uint32_t> members_;     // tuple numbers, grouped
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_ID_INDEX_H_
