#include "join/dictionary.h"

namespace natjoin {

void Dictionary::reserve(std::size_t count, const char* lowest, std::uint64_t span) {
  wide_ = span > UINT32_MAX;
  lowest_ = lowest;
  if (wide_) {
    wideTexts_.reserve(count);
  } else {
    offsets_.reserve(count);
  }
}

void Dictionary::add(const char* text) {
  if (wide_) {
    wideTexts_.push_back(text);
  } else {
    offsets_.push_back(static_cast<std::uint32_t>(text - lowest_));
  }
  ++size_;
}

std::uint32_t Dictionary::intern(std::string_view value, std::uint64_t hash) {
  // Grown at a load of 0.7, to 1.5 times: the load stays between 0.47 and
  // 0.7, where a lookup passes over two or three slots.
  if (std::uint64_t{size_} * 10 >= slots_.size() * 7) grow();
  const std::uint64_t tag = hash >> 32;
  for (std::size_t slot = slotOf(tag);; slot = nextSlot(slot)) {
    const std::uint64_t entry = slots_[slot];
    if (entry == 0) {
      const std::uint32_t id = size_;
      slots_[slot] = (tag << 32) | (std::uint64_t{id} + 1);
      add(value.data());
      return id;
    }
    const auto id = static_cast<std::uint32_t>(entry) - 1;
    if ((entry >> 32) == tag && holds(id, value)) return id;
  }
}

std::uint32_t Dictionary::find(std::string_view value, std::uint64_t hash) const {
  if (slots_.empty()) return kMissing;
  const std::uint64_t tag = hash >> 32;
  for (std::size_t slot = slotOf(tag);; slot = nextSlot(slot)) {
    const std::uint64_t entry = slots_[slot];
    if (entry == 0) return kMissing;
    const auto id = static_cast<std::uint32_t>(entry) - 1;
    if ((entry >> 32) == tag && holds(id, value)) return id;
  }
}

void Dictionary::grow() {
  const std::size_t count = slots_.empty() ? 8 : slots_.size() + slots_.size() / 2;
  std::vector<std::uint64_t> old(count, 0);
  old.swap(slots_);
  for (const std::uint64_t entry : old) {
    if (entry == 0) continue;
    std::size_t slot = slotOf(entry >> 32);
    while (slots_[slot] != 0) slot = nextSlot(slot);
    slots_[slot] = entry;
  }
}

}  // namespace natjoin
