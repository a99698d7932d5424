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
  if (slots_.size() == 1 && operand.domain[slots_[0]] <= 4 * count + kDirectSlack) {
    direct_ = true;
    directSize_ = operand.domain[slots_[0]];
    groups = directSize_;
    for (std::size_t aliveIdx = 0; aliveIdx < count; ++aliveIdx) {
      groupOf[aliveIdx] = operand.id(operand.alive[aliveIdx], slots_[0]);
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
