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
#include <string_view>
#include <vector>

namespace natjoin {

inline constexpr std::uint64_t kHashSeed = 0x243f6a8885a308d3ULL;

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

}  // namespace natjoin

#endif  // NATJOIN_JOIN_KEY_TABLE_H_
