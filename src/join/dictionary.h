// Value text -> dense 32-bit id, for one join variable.
//
// Open addressing over 12-byte slots: a key and the id. A value of at most
// seven bytes is its own key (its bytes and its length), so finding it
// reads the slot and nothing else; most join keys are that short, and
// reading the text of each value found again would cost a cache miss of
// its own. A longer value's key is part of its hash beside where its text
// lies in the database: stored tuple text ends every value with "," or
// "\n", which no value holds, so its start alone tells where it ends.
//
// The slot is the hash's high half scaled to the table's size, so slots are
// ordered by it and the table grows (by a quarter) in one pass from its
// front, giving back the old table as it goes.
//
// Cost per distinct value: 16 to 20 bytes of table (17 at the load a
// presized table has), and 8 more for a long value where the texts span
// 4 GiB or more.
#ifndef NATJOIN_JOIN_DICTIONARY_H_
#define NATJOIN_JOIN_DICTIONARY_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace natjoin {

using TextHashFn = std::uint64_t (*)(std::string_view text);

// The default hash of a value's text.
std::uint64_t hashText(std::string_view text);

// A slot of a dictionary's table; all zero when free.
struct DictionarySlot {
  std::uint32_t keyLow;
  std::uint32_t keyHigh;
  std::uint32_t idPlusOne;
  std::uint64_t key() const { return std::uint64_t{keyHigh} << 32 | keyLow; }
};

// Zeroed slots. Large arrays are anonymous pages, which the kernel gives
// zeroed and which cost memory only once written; their memory can be given
// back a part at a time.
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
  DictionarySlot& operator[](std::size_t slot) { return data_[slot]; }
  const DictionarySlot& operator[](std::size_t slot) const { return data_[slot]; }
  // Gives back the memory of the whole pages below slot `end`, which must
  // not be read again.
  void release(std::size_t end);
  // Faults in every page of a mapped array at once.
  void populate();

 private:
  DictionarySlot* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};

class Dictionary {
 public:
  static constexpr std::uint32_t kMissing = UINT32_MAX;

  // `hash` gives the hashes that intern() and find() are given; the table
  // needs it to grow.
  explicit Dictionary(TextHashFn hash = &hashText) : hash_(hash) {}

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
  // Makes room for values all among the `span` bytes from `lowest` on, so
  // that a long value's place fits in 4 bytes where they span less than
  // 4 GiB. Where about `expected` distinct values are known to come, the
  // table is made for them at once; the room costs no memory until values
  // fill it. REQUIRES: no value was added yet.
  void reserve(const char* lowest, std::uint64_t span, std::size_t expected = 0);
  // Tells that values are about to be interned. Values land all over the
  // table, so every page of a table made for them is soon written; its
  // pages are then faulted in now, in one call, rather than one by one as
  // lookups first read each (the kernel maps a shared zero page) and
  // inserts write it: each such write replaces a mapping, which costs a
  // signal to every other core running a thread of the process.
  void fillSoon();
  // Calls fn(id, value) for every value, in the order of their ids. A long
  // value is a view into its stored text, as intern() takes it; a short
  // one's text is valid during the call only. Takes 8 bytes per value.
  template <typename Fn>
  void forEachValue(Fn&& fn) const {
    std::vector<std::size_t> slotOfId(size_);
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
      if (slots_[slot].idPlusOne != 0) slotOfId[slots_[slot].idPlusOne - 1] = slot;
    }
    char shortText[8];
    for (std::uint32_t id = 0; id < size_; ++id) fn(id, textOf(slots_[slotOfId[id]], shortText));
  }

 private:
  // The first byte of a long value's key, above any short value's length.
  static constexpr std::uint64_t kLongMark = 0xFF;
  static constexpr std::size_t kMaxShort = 7;

  std::size_t slotOf(std::uint64_t tag) const {
    return static_cast<std::size_t>((tag * slots_.size()) >> 32);
  }
  std::size_t nextSlot(std::size_t slot) const { return slot + 1 == slots_.size() ? 0 : slot + 1; }
  // The key of `value`: of a long one, without its place (keyLow is 0).
  static std::uint64_t keyOf(std::string_view value, std::uint64_t hash);
  const char* longText(std::uint32_t place) const {
    return wide_ ? wideTexts_[place] : lowest_ + place;
  }
  // Whether `slot`, in use, holds `value`, whose key is `key`.
  bool holds(const DictionarySlot& slot, std::uint64_t key, std::string_view value) const {
    if (value.size() <= kMaxShort) return slot.key() == key;
    if (slot.keyHigh != key >> 32) return false;
    const char* stored = longText(slot.keyLow);
    // The stored text's end ("," or "\n") differs from every byte of
    // `value`, so the loop never reads past it.
    for (std::size_t at = 0; at < value.size(); ++at) {
      if (stored[at] != value[at]) return false;
    }
    return stored[value.size()] == ',' || stored[value.size()] == '\n';
  }
  // The text a slot's key stands for.
  std::string_view textOf(const DictionarySlot& slot, char (&shortText)[8]) const;
  void grow();

  TextHashFn hash_;
  SlotArray slots_;
  std::uint32_t size_ = 0;
  // Long values' texts as offsets from `lowest_`, in their keys, or, where
  // they span 4 GiB or more (or no room was made), as pointers here.
  bool wide_ = true;
  const char* lowest_ = nullptr;
  std::vector<const char*> wideTexts_;
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_DICTIONARY_H_
