// Hash indexes for the join: the values that join conditions compare,
// pulled out of the tuple text once per operand, and an index of an
// operand's tuples on some of those values.
#ifndef NATJOIN_JOIN_KEY_INDEX_H_
#define NATJOIN_JOIN_KEY_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace natjoin {

// A fast 64-bit hash of `value`, chained onto `hash`.
std::uint64_t hashValue(std::string_view value, std::uint64_t hash);

// The values of one operand's tuples at the positions its conditions name,
// pulled out of the tuple text once.
struct Columns {
  std::vector<std::uint32_t> positions;  // ascending, distinct
  std::vector<std::string_view> values;  // tuple-major, positions.size() per tuple

  std::uint32_t slotOf(std::uint32_t position) const {
    return static_cast<std::uint32_t>(
        std::lower_bound(positions.begin(), positions.end(), position) - positions.begin());
  }
  std::string_view at(std::uint32_t tuple, std::uint32_t slot) const {
    return values[std::size_t{tuple} * positions.size() + slot];
  }
};

inline constexpr std::uint64_t kHashSeed = 0x243f6a8885a308d3ULL;

// The hash of the key in `slots` of each of `tuples`, by tuple number (a
// vector of `tupleCount` entries; those of other tuples stay zero).
std::vector<std::uint64_t> hashKeys(const Columns& columns, const std::vector<std::uint32_t>& slots,
                                    std::span<const std::uint32_t> tuples, std::size_t tupleCount);

// A hash index of some tuples of one operand on the values in some of its
// column slots. Tuples with equal keys form a group; a group lists its tuples
// in the order they were given. A probe touches the table slot, the group's
// key and its member list: the slot keeps part of the hash so that most
// misses end there.
class KeyIndex {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // `hashes` holds the key hash of every tuple, by tuple number.
  void build(const Columns& columns, const std::vector<std::uint32_t>& slots,
             std::span<const std::uint32_t> tuples, const std::vector<std::uint64_t>& hashes) {
    keySize_ = slots.size();
    std::size_t capacity = 16;
    while (capacity < tuples.size() * 2) capacity *= 2;
    table_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    groupKeys_.clear();
    groupOfInput_.resize(tuples.size());

    // With the hashes known in advance, table slots are fetched ahead of
    // use instead of one cache miss at a time.
    std::vector<std::string_view> key(keySize_);
    std::uint32_t groups = 0;
    for (std::size_t inputIdx = 0; inputIdx < tuples.size(); ++inputIdx) {
      if (inputIdx + kPrefetchDistance < tuples.size())
        prefetch(hashes[tuples[inputIdx + kPrefetchDistance]]);
      for (std::size_t keyIdx = 0; keyIdx < keySize_; ++keyIdx) {
        key[keyIdx] = columns.at(tuples[inputIdx], slots[keyIdx]);
      }
      const std::uint64_t hash = hashes[tuples[inputIdx]];
      std::size_t slot = hash & mask_;
      for (;; slot = (slot + 1) & mask_) {
        const Slot& entry = table_[slot];
        if (entry.groupPlusOne == 0) {
          table_[slot] = {tagOf(hash), ++groups};
          groupKeys_.insert(groupKeys_.end(), key.begin(), key.end());
          break;
        }
        if (entry.tag == tagOf(hash) && keyEquals(entry.groupPlusOne - 1, key.data())) break;
      }
      groupOfInput_[inputIdx] = table_[slot].groupPlusOne - 1;
    }

    groupStart_.assign(std::size_t{groups} + 1, 0);
    for (const std::uint32_t group : groupOfInput_) ++groupStart_[group + 1];
    for (std::size_t group = 0; group < groups; ++group)
      groupStart_[group + 1] += groupStart_[group];
    members_.resize(tuples.size());
    std::vector<std::uint32_t> next(groupStart_.begin(), groupStart_.end() - 1);
    for (std::size_t inputIdx = 0; inputIdx < tuples.size(); ++inputIdx) {
      members_[next[groupOfInput_[inputIdx]]++] = tuples[inputIdx];
    }
  }

  std::size_t groupCount() const { return groupStart_.size() - 1; }
  // The group of the i-th tuple given to build().
  std::uint32_t groupOfInput(std::size_t inputIdx) const { return groupOfInput_[inputIdx]; }

  // The group whose key equals `key` (as many values as the index has key
  // slots), or kNone.
  std::uint32_t findGroup(const std::string_view* key) const {
    return findGroup(key, hashKey(key));
  }

  // The group of each of `tuples` of another operand, keyed by its values in
  // `slots` whose hashes, by tuple number, are `hashes` (kNone where there
  // is none). Many lookups at once keep several cache misses in flight.
  void findGroups(const Columns& columns, const std::vector<std::uint32_t>& slots,
                  std::span<const std::uint32_t> tuples, const std::vector<std::uint64_t>& hashes,
                  std::vector<std::uint32_t>& groups) const {
    groups.resize(tuples.size());
    std::vector<std::string_view> key(keySize_);
    for (std::size_t inputIdx = 0; inputIdx < tuples.size(); ++inputIdx) {
      if (inputIdx + kPrefetchDistance < tuples.size())
        prefetch(hashes[tuples[inputIdx + kPrefetchDistance]]);
      for (std::size_t keyIdx = 0; keyIdx < keySize_; ++keyIdx) {
        key[keyIdx] = columns.at(tuples[inputIdx], slots[keyIdx]);
      }
      groups[inputIdx] = findGroup(key.data(), hashes[tuples[inputIdx]]);
    }
  }

  std::uint32_t findGroup(const std::string_view* key, std::uint64_t hash) const {
    for (std::size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
      const Slot& entry = table_[slot];
      if (entry.groupPlusOne == 0) return kNone;
      if (entry.tag == tagOf(hash) && keyEquals(entry.groupPlusOne - 1, key))
        return entry.groupPlusOne - 1;
    }
  }

  std::span<const std::uint32_t> members(std::uint32_t group) const {
    if (group == kNone) return {};
    return {members_.data() + groupStart_[group], groupStart_[group + 1] - groupStart_[group]};
  }

 private:
  struct Slot {
    std::uint32_t tag = 0;
    std::uint32_t groupPlusOne = 0;  // 0 marks an empty slot
  };

  // The slot number comes from the low bits; the tag from the high ones.
  static std::uint32_t tagOf(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

  static constexpr std::size_t kPrefetchDistance = 16;

  std::uint64_t hashKey(const std::string_view* key) const {
    std::uint64_t hash = kHashSeed;
    for (std::size_t keyIdx = 0; keyIdx < keySize_; ++keyIdx) hash = hashValue(key[keyIdx], hash);
    return hash;
  }

  void prefetch(std::uint64_t hash) const { __builtin_prefetch(&table_[hash & mask_]); }

  bool keyEquals(std::uint32_t group, const std::string_view* key) const {
    const std::string_view* groupKey = groupKeys_.data() + std::size_t{group} * keySize_;
    for (std::size_t keyIdx = 0; keyIdx < keySize_; ++keyIdx) {
      if (groupKey[keyIdx] != key[keyIdx]) return false;
    }
    return true;
  }

  std::size_t keySize_ = 0;
  std::vector<Slot> table_;
  std::size_t mask_ = 0;
  std::vector<std::string_view> groupKeys_;  // keySize_ values per group
  std::vector<std::uint32_t> groupOfInput_;
  std::vector<std::uint32_t> groupStart_;
  std::vector<std::uint32_t> members_;
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_KEY_INDEX_H_
