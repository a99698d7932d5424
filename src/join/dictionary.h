// Value text -> dense 32-bit id, for one join variable.
//
// Open addressing over 8-byte slots: the high half of the value's hash
// beside the id. The slot is the hash's high half scaled to the table's
// size, so slots are ordered by it and the table grows (by a quarter) without
// hashing any text again; most slots that do not match are passed over
// without looking at the text. A value's text is kept as where it lies in
// the database: stored tuple text ends every value with "," or "\n", which
// no value holds, so its start alone tells where it ends.
//
// Cost per distinct value: 4 bytes of offset (8 of pointer where the texts
// span 4 GiB or more) and 11 to 14 of table.
#ifndef NATJOIN_JOIN_DICTIONARY_H_
#define NATJOIN_JOIN_DICTIONARY_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace natjoin {

// Zeroed 8-byte slots. Large arrays are anonymous pages, which the kernel
// gives zeroed and which cost memory only once written; their memory can be
// given back a part at a time.
class SlotArray {
 public:
  SlotArray() = default;
  explicit SlotArray(std::size_t count);
  ~SlotArray();
  SlotArray(SlotArray&& other) noexcept;
  SlotArray& operator=(SlotArray&& other) noexcept;
  SlotArray(const SlotArray&) = delete;
  SlotArray& operator=(const SlotArray&) = delete;

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  std::uint64_t& operator[](std::size_t slot) { return data_[slot]; }
  const std::uint64_t& operator[](std::size_t slot) const { return data_[slot]; }
  // Gives back the memory of the whole pages below slot `end`, which must
  // not be read again.
  void release(std::size_t end);

 private:
  std::uint64_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};

class Dictionary {
 public:
  static constexpr std::uint32_t kMissing = UINT32_MAX;

  // Fetches the slot where a value of hash `hash` is looked for.
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[slotOf(hash >> 32)]);
  }
  // The id of `value`, given as a view into stored tuple text (followed by
  // "," or "\n"); a new value gets the next id.
  std::uint32_t intern(std::string_view value, std::uint64_t hash);
  // The id of `value`, or kMissing. `value` holds no "," or "\n", as no
  // value split from a tuple does.
  std::uint32_t find(std::string_view value, std::uint64_t hash) const;
  std::uint32_t size() const { return size_; }
  // Slots of the table: it grows when three quarters are used.
  std::size_t tableSize() const { return slots_.size(); }
  // Makes room for `count` values at most, all of them among the `span`
  // bytes from `lowest` on, so that the list of texts never grows by
  // copying; the room costs no memory until values fill it. Where about
  // `expected` distinct values are known to come, the table is made for
  // them at once. REQUIRES: no value was added yet.
  void reserve(std::size_t count, const char* lowest, std::uint64_t span, std::size_t expected = 0);

 private:
  std::size_t slotOf(std::uint64_t tag) const {
    return static_cast<std::size_t>((tag * slots_.size()) >> 32);
  }
  std::size_t nextSlot(std::size_t slot) const { return slot + 1 == slots_.size() ? 0 : slot + 1; }
  const char* text(std::uint32_t id) const {
    return wide_ ? wideTexts_[id] : lowest_ + offsets_[id];
  }
  // Whether the stored text of `id` is `value`.
  bool holds(std::uint32_t id, std::string_view value) const {
    const char* stored = text(id);
    // The stored text's end ("," or "\n") differs from every byte of
    // `value`, so the loop never reads past it.
    for (std::size_t at = 0; at < value.size(); ++at) {
      if (stored[at] != value[at]) return false;
    }
    return stored[value.size()] == ',' || stored[value.size()] == '\n';
  }
  void add(const char* text);
  void grow();

  SlotArray slots_;  // tag << 32 | (id + 1); 0 marks a free slot
  std::uint32_t size_ = 0;
  // Texts as offsets from `lowest_`, or as pointers where they span 4 GiB
  // or more (or no room was made).
  bool wide_ = true;
  const char* lowest_ = nullptr;
  std::vector<std::uint32_t> offsets_;
  std::vector<const char*> wideTexts_;
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_DICTIONARY_H_
