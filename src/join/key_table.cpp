#include "join/key_table.h"

#include <algorithm>
#include <cstring>

namespace natjoin {

std::uint64_t hashValue(std::string_view value, std::uint64_t hash) {
  constexpr std::uint64_t kMul1 = 0xbf58476d1ce4e5b9ULL;
  constexpr std::uint64_t kMul2 = 0x94d049bb133111ebULL;
  hash ^= value.size() * 0x9e3779b97f4a7c15ULL;
  const char* p = value.data();
  std::size_t left = value.size();
  while (left >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    hash = (hash ^ word) * kMul1;
    hash ^= hash >> 31;
    p += 8;
    left -= 8;
  }
  hash = (hash ^ loadShort(p, left)) * kMul2;
  return hash ^ (hash >> 29);
}

std::uint64_t hashIds(const std::uint32_t* key, std::size_t width) {
  std::uint64_t hash = 0x243f6a8885a308d3ULL;
  for (std::size_t idx = 0; idx < width; ++idx) {
    hash = (hash ^ key[idx]) * 0xbf58476d1ce4e5b9ULL;
    hash ^= hash >> 29;
  }
  hash *= 0x94d049bb133111ebULL;
  return hash ^ (hash >> 32);
}

// The slots are made on the first insert: a join keeps many tables that
// may never be used.
KeyTable::KeyTable(std::size_t width, HashFn hash) : width_(width), hash_(hash) {}

bool KeyTable::equal(std::uint32_t entry, const std::uint32_t* key) const {
  // Keys are a few ids: a plain loop beats a call to memcmp.
  const std::uint32_t* stored = keys_.data() + std::size_t{entry} * width_;
  for (std::size_t idx = 0; idx < width_; ++idx) {
    if (stored[idx] != key[idx]) return false;
  }
  return true;
}

std::uint32_t KeyTable::find(const std::uint32_t* key) const {
  if (count_ == 0) return kNone;
  const std::uint64_t hash = hash_(key, width_);
  const std::uint64_t tag = hash >> 32;
  for (std::size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
    const std::uint64_t entry = slots_[slot];
    if (entry == 0) return kNone;
    if ((entry >> 32) == tag && equal(static_cast<std::uint32_t>(entry) - 1, key)) {
      return static_cast<std::uint32_t>(entry) - 1;
    }
  }
}

std::uint32_t KeyTable::insert(const std::uint32_t* key) {
  if (std::size_t{count_} * 2 >= slots_.size()) grow();
  const std::uint64_t hash = hash_(key, width_);
  const std::uint64_t tag = hash >> 32;
  for (std::size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
    const std::uint64_t entry = slots_[slot];
    if (entry == 0) {
      slots_[slot] = (tag << 32) | (std::uint64_t{count_} + 1);
      keys_.insert(keys_.end(), key, key + width_);
      return count_++;
    }
    if ((entry >> 32) == tag && equal(static_cast<std::uint32_t>(entry) - 1, key)) {
      return static_cast<std::uint32_t>(entry) - 1;
    }
  }
}

void KeyTable::grow() {
  std::vector<std::uint64_t> old(slots_.empty() ? 16 : slots_.size() * 2, 0);
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  for (const std::uint64_t entry : old) {
    if (entry == 0) continue;
    const std::uint32_t number = static_cast<std::uint32_t>(entry) - 1;
    const std::uint64_t hash = hash_(key(number), width_);
    std::size_t slot = hash & mask_;
    while (slots_[slot] != 0) slot = (slot + 1) & mask_;
    slots_[slot] = entry;
  }
}

void KeyTable::clear() {
  if (count_ == 0) return;
  // Sized by what was added, so that clearing costs no more than adding did:
  // a large table cleared for many small uses would otherwise cost its whole
  // size each time.
  std::size_t capacity = 16;
  while (capacity < std::size_t{count_} * 2) capacity *= 2;
  slots_.assign(capacity, 0);
  mask_ = capacity - 1;
  keys_.clear();
  count_ = 0;
}

bool KeySet::insert(const std::uint32_t* key) {
  if (inBitmap() && key[0] >= kMaxBitmapIds) {
    // Too large a bitmap would miss the cache where a table does not.
    for (const std::uint32_t id : list_) {
      bits_[id / 64] = 0;
      table_.insert(&id);
    }
    list_.clear();
    hashed_ = true;
  }
  if (!inBitmap()) {
    const std::size_t before = table_.size();
    table_.insert(key);
    return table_.size() != before;
  }
  const std::uint32_t id = key[0];
  if (id / 64 >= bits_.size()) bits_.resize(id / 64 + 1, 0);
  std::uint64_t& word = bits_[id / 64];
  const std::uint64_t bit = std::uint64_t{1} << (id % 64);
  if ((word & bit) != 0) return false;
  word |= bit;
  list_.push_back(id);
  return true;
}

void KeySet::clear() {
  for (const std::uint32_t id : list_) bits_[id / 64] = 0;
  list_.clear();
  table_.clear();
  // Keys of one id come back to the bitmap: the large one may not recur.
  hashed_ = false;
}

}  // namespace natjoin
