#include "join/id_index.h"

namespace natjoin {
namespace {

// Ids a direct index may have beyond four per tuple: small domains always
// qualify.
constexpr std::size_t kDirectSlack = 1024;

}  // namespace

IdIndex::IdIndex(const EncodedOperand& operand, std::vector<std::uint32_t> slots,
                 KeyTable::HashFn hash)
    : slots_(std::move(slots)), table_(slots_.size(), hash) {
  const std::size_t count = operand.alive.size();
  std::vector<std::uint32_t> groupOf(count);
  std::size_t groups = 0;
  const std::uint64_t limit = 4 * std::uint64_t{count} + kDirectSlack;
  std::uint64_t combinations = 1;
  bool few = !slots_.empty();
  for (const std::uint32_t slot : slots_) {
    const std::uint64_t domain = operand.domain[slot];
    if (domain != 0 && combinations > limit / domain) {
      few = false;
      break;
    }
    combinations *= domain;
  }
  if (few) {
    direct_ = true;
    for (const std::uint32_t slot : slots_) domains_.push_back(operand.domain[slot]);
    groups = static_cast<std::size_t>(combinations);
    for (std::size_t aliveIdx = 0; aliveIdx < count; ++aliveIdx) {
      const std::uint32_t* row = operand.row(operand.alive[aliveIdx]);
      std::uint64_t number = 0;
      for (std::size_t keyIdx = 0; keyIdx < slots_.size(); ++keyIdx) {
        number = number * domains_[keyIdx] + row[slots_[keyIdx]];
      }
      groupOf[aliveIdx] = static_cast<std::uint32_t>(number);
    }
  } else {
    std::vector<std::uint32_t> key(slots_.size());
    for (std::size_t aliveIdx = 0; aliveIdx < count; ++aliveIdx) {
      const std::uint32_t* row = operand.row(operand.alive[aliveIdx]);
      for (std::size_t keyIdx = 0; keyIdx < slots_.size(); ++keyIdx) {
        key[keyIdx] = row[slots_[keyIdx]];
      }
      groupOf[aliveIdx] = table_.insert(key.data());
    }
    groups = table_.size();
  }
  // Counting sort by group; stable, so each group stays ascending.
  groupStart_.assign(groups + 1, 0);
  for (const std::uint32_t group : groupOf) ++groupStart_[group + 1];
  for (std::size_t group = 0; group < groups; ++group) {
    groupStart_[group + 1] += groupStart_[group];
  }
  members_.resize(count);
  std::vector<std::uint32_t> next(groupStart_.begin(), groupStart_.end() - 1);
  for (std::size_t aliveIdx = 0; aliveIdx < count; ++aliveIdx) {
    members_[next[groupOf[aliveIdx]]++] = operand.alive[aliveIdx];
  }
}

}  // namespace natjoin
