// A hash table of keys made of a fixed number of 32-bit value ids, each key
// numbered densely in the order it was first added. The join uses it as a
// set of keys (semi-joins, candidate pruning) and to group tuples by key
// (indexes).
//
// Cost: 8 bytes per table slot, at most two slots per key, plus 4 bytes per
// id of each distinct key. Keys are compared in full, never by hash alone.
#ifndef NATJOIN_JOIN_KEY_TABLE_H_
#define NATJOIN_JOIN_KEY_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace natjoin {

inline constexpr std::uint64_t kHashSeed = 0x243f6a8885a308d3ULL;

// The `size` bytes at `text` (fewer than eight) as a number, in the order
// they lie and padded with zeros, as a memcpy into a zeroed word gives them,
// but without a call: two 4-byte reads that may overlap, or the first,
// middle and last byte of a shorter text.
inline std::uint64_t loadShort(const char* text, std::size_t size) {
  if (size >= 4) {
    std::uint32_t head = 0;
    std::uint32_t tail = 0;
    std::memcpy(&head, text, sizeof head);
    std::memcpy(&tail, text + size - 4, sizeof tail);
    return head | (std::uint64_t{tail} >> (8 * (8 - size))) << 32;
  }
  if (size == 0) return 0;
  const auto byte = [text](std::size_t at) {
    return std::uint64_t{static_cast<unsigned char>(text[at])} << (8 * at);
  };
  return byte(0) | byte(size / 2) | byte(size - 1);
}

// A fast 64-bit hash of `value`, chained onto `hash`.
std::uint64_t hashValue(std::string_view value, std::uint64_t hash);

// A 64-bit hash of `width` ids.
std::uint64_t hashIds(const std::uint32_t* key, std::size_t width);

class KeyTable {
 public:
  using HashFn = std::uint64_t (*)(const std::uint32_t* key, std::size_t width);
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // `hash` may be replaced, e.g. by one that collides on purpose in tests.
  explicit KeyTable(std::size_t width = 0, HashFn hash = hashIds);

  std::size_t width() const { return width_; }
  std::size_t size() const { return count_; }
  // The number of `key`, added as the next number if it is new.
  std::uint32_t insert(const std::uint32_t* key);
  // The number of `key`, or kNone.
  std::uint32_t find(const std::uint32_t* key) const;
  // Asks the processor to fetch the slot where finding `key` begins.
  void prefetch(const std::uint32_t* key) const {
    if (count_ != 0) __builtin_prefetch(slots_.data() + (hash_(key, width_) & mask_));
  }
  bool contains(const std::uint32_t* key) const { return find(key) != kNone; }
  // The ids of key number `entry`.
  const std::uint32_t* key(std::uint32_t entry) const {
    return keys_.data() + std::size_t{entry} * width_;
  }
  // Forgets every key; keeps the memory.
  void clear();

 private:
  void grow();
  bool equal(std::uint32_t entry, const std::uint32_t* key) const;

  std::size_t width_;
  HashFn hash_;
  // Per slot: the high half of the key's hash, then its number plus one (0
  // marks a free slot).
  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  std::vector<std::uint32_t> keys_;
  std::uint32_t count_ = 0;
};

// A set of keys of `width` ids, numbered in the order they were added,
// made anew many times over (the keys a pruning step offers, per prefix).
// A key of one id is kept as a bit of a bitmap over the ids and in a list:
// adding or finding it is a bit test, where hashing it into a table took
// about a quarter of a four-cycle's time. Clearing unsets only the bits set. Ids are
// dense per variable, so the bitmap takes an eighth of a byte per id up to
// the largest added; from kMaxBitmapIds on, and for wider keys, the keys
// are kept in a KeyTable instead.
class KeySet {
 public:
  static constexpr std::uint32_t kMaxBitmapIds = std::uint32_t{1} << 20;

  explicit KeySet(std::size_t width = 0) : table_(width) {}

  std::size_t size() const { return inBitmap() ? list_.size() : table_.size(); }
  // Adds `key`; returns whether it is new.
  bool insert(const std::uint32_t* key);
  bool contains(const std::uint32_t* key) const {
    if (!inBitmap()) return table_.contains(key);
    const std::uint32_t id = key[0];
    return id / 64 < bits_.size() && ((bits_[id / 64] >> (id % 64)) & 1) != 0;
  }
  // The ids of key number `entry`.
  const std::uint32_t* key(std::uint32_t entry) const {
    return inBitmap() ? list_.data() + entry : table_.key(entry);
  }
  // Forgets every key; keeps the memory.
  void clear();

 private:
  bool inBitmap() const { return table_.width() == 1 && !hashed_; }

  KeyTable table_;                   // the keys, where not in the bitmap
  bool hashed_ = false;              // an id beyond kMaxBitmapIds came
  std::vector<std::uint64_t> bits_;  // per id up to the largest added
  std::vector<std::uint32_t> list_;  // the ids added, in order
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_KEY_TABLE_H_
