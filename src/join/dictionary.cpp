#include "join/dictionary.h"

namespace natjoin {

std::uint32_t Dictionary::intern(std::string_view value, std::uint64_t hash) {
  if (texts_.size() * 2 >= slots_.size()) grow();
  const std::uint64_t tag = hash >> 32;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = slotOf(tag);; slot = (slot + 1) & mask) {
    const std::uint64_t entry = slots_[slot];
    if (entry == 0) {
      const auto id = static_cast<std::uint32_t>(texts_.size());
      slots_[slot] = (tag << 32) | (std::uint64_t{id} + 1);
      texts_.push_back(value.data());
      return id;
    }
    const auto id = static_cast<std::uint32_t>(entry) - 1;
    if ((entry >> 32) == tag && holds(id, value)) return id;
  }
}

std::uint32_t Dictionary::find(std::string_view value, std::uint64_t hash) const {
  if (slots_.empty()) return kMissing;
  const std::uint64_t tag = hash >> 32;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = slotOf(tag);; slot = (slot + 1) & mask) {
    const std::uint64_t entry = slots_[slot];
    if (entry == 0) return kMissing;
    const auto id = static_cast<std::uint32_t>(entry) - 1;
    if ((entry >> 32) == tag && holds(id, value)) return id;
  }
}

void Dictionary::grow() {
  // Beyond 2^32 slots the tag has no more bits to place by; ids are 32-bit,
  // so the table never needs that many.
  bits_ = slots_.empty() ? 3 : bits_ + 1;
  std::vector<std::uint64_t> old(std::size_t{1} << bits_, 0);
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const std::uint64_t entry : old) {
    if (entry == 0) continue;
    std::size_t slot = slotOf(entry >> 32);
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = entry;
  }
}

}  // namespace natjoin
