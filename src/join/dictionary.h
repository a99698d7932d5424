// Value text -> dense 32-bit id, for one join variable.
//
// Open addressing over 8-byte slots: the high half of the value's hash
// beside the id. The slot is chosen by the hash's highest bits, which the
// stored half holds, so the table grows without hashing any text again;
// most slots that do not match are passed over without looking at the text.
// A value's text is kept as a pointer into the database: stored tuple text
// ends every value with "," or "\n", which no value holds, so the pointer
// alone tells where it ends.
//
// Cost per distinct value: 8 bytes of pointer and 16 to 32 of table.
#ifndef NATJOIN_JOIN_DICTIONARY_H_
#define NATJOIN_JOIN_DICTIONARY_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace natjoin {

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
  std::uint32_t size() const { return static_cast<std::uint32_t>(texts_.size()); }
  // Makes room for `count` values at most, so that the list of texts never
  // grows by copying; the room costs no memory until values fill it.
  void reserve(std::size_t count) { texts_.reserve(count); }

 private:
  std::size_t slotOf(std::uint64_t tag) const {
    return static_cast<std::size_t>(tag >> (32 - bits_));
  }
  // Whether the stored text of `id` is `value`.
  bool holds(std::uint32_t id, std::string_view value) const {
    const char* stored = texts_[id];
    // The stored text's end ("," or "\n") differs from every byte of
    // `value`, so the loop never reads past it.
    for (std::size_t at = 0; at < value.size(); ++at) {
      if (stored[at] != value[at]) return false;
    }
    return stored[value.size()] == ',' || stored[value.size()] == '\n';
  }
  void grow();

  std::vector<std::uint64_t> slots_;  // tag << 32 | (id + 1); 0 marks a free slot
  unsigned bits_ = 0;                 // log2 of the slot count
  std::vector<const char*> texts_;
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_DICTIONARY_H_
