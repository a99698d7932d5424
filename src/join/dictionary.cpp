#include "join/dictionary.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "join/key_table.h"

namespace natjoin {
namespace {

// Below this many slots an array comes from the heap.
constexpr std::size_t kMappedFrom = 4096;
// While a table grows, the old one is given back every this many slots.
constexpr std::size_t kReleaseEvery = 65536;

}  // namespace

std::uint64_t hashText(std::string_view text) { return hashValue(text, kHashSeed); }

SlotArray::SlotArray(std::size_t count) : size_(count) {
  if (count < kMappedFrom) {
    data_ = new DictionarySlot[count]();
    return;
  }
  void* pages = mmap(nullptr, count * sizeof(DictionarySlot), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<DictionarySlot*>(pages);
  mapped_ = true;
}

void SlotArray::populate() {
  if (!mapped_) return;
#if defined(MADV_POPULATE_WRITE)
  constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
  constexpr int kPopulateWrite = 23;  // Linux 5.14 on
#endif
  // Kernels that do not know the advice leave the pages to be faulted in
  // one by one, as without it.
  madvise(data_, size_ * sizeof(DictionarySlot), kPopulateWrite);
}

SlotArray::~SlotArray() {
  if (mapped_) {
    munmap(data_, size_ * sizeof(DictionarySlot));
  } else {
    delete[] data_;
  }
}

SlotArray::SlotArray(SlotArray&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

SlotArray& SlotArray::operator=(SlotArray&& other) noexcept {
  if (this != &other) {
    SlotArray gone(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

void SlotArray::release(std::size_t end) {
  if (!mapped_) return;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t bytes = std::min(end, size_) * sizeof(DictionarySlot) / page * page;
  // The mapping starts on a page; a failure only keeps the memory longer.
  if (bytes > 0) madvise(data_, bytes, MADV_DONTNEED);
}

void Dictionary::fillSoon() {
  if (size_ == 0) slots_.populate();
}

void Dictionary::reserve(const char* lowest, std::uint64_t span, std::size_t expected) {
  // A table for the expected values at a load of 0.71, within the band
  // that growing keeps, with room for an estimate 5% low (three times the
  // sketch's standard error).
  if (expected > 0) slots_ = SlotArray(expected + expected * 2 / 5);
  wide_ = span > UINT32_MAX;
  lowest_ = lowest;
}

std::uint64_t Dictionary::keyOf(std::string_view value, std::uint64_t hash) {
  const std::size_t size = value.size();
  if (size <= kMaxShort) return loadShort(value.data(), size) | std::uint64_t{size} << 56;
  // The hash's low bits: its high ones place the slot, and so are nearly
  // the same in the slots passed over.
  return (kLongMark << 24 | (hash & 0xFFFFFF)) << 32;
}

std::string_view Dictionary::textOf(const DictionarySlot& slot, char (&shortText)[8]) const {
  const std::uint64_t key = slot.key();
  const std::size_t size = key >> 56;
  if (size <= kMaxShort) {
    std::memcpy(shortText, &key, sizeof key);
    return {shortText, size};
  }
  const char* text = longText(slot.keyLow);
  std::size_t length = 0;
  while (text[length] != ',' && text[length] != '\n') ++length;
  return {text, length};
}

std::uint32_t Dictionary::intern(std::string_view value, std::uint64_t hash) {
  // Grown at a load of 0.75, by a quarter: the load stays between 0.6 and
  // 0.75, where a lookup passes over two to four slots (eight or so for a
  // value not there). Growing gives back the old table as it goes, so a
  // small step costs no memory.
  if (std::uint64_t{size_} * 4 >= slots_.size() * 3) grow();
  const std::uint64_t key = keyOf(value, hash);
  for (std::size_t slot = slotOf(hash >> 32);; slot = nextSlot(slot)) {
    DictionarySlot& entry = slots_[slot];
    if (entry.idPlusOne == 0) {
      entry.keyHigh = static_cast<std::uint32_t>(key >> 32);
      if (value.size() <= kMaxShort) {
        entry.keyLow = static_cast<std::uint32_t>(key);
      } else if (wide_) {
        entry.keyLow = static_cast<std::uint32_t>(wideTexts_.size());
        wideTexts_.push_back(value.data());
      } else {
        entry.keyLow = static_cast<std::uint32_t>(value.data() - lowest_);
      }
      entry.idPlusOne = ++size_;
      return size_ - 1;
    }
    if (holds(entry, key, value)) return entry.idPlusOne - 1;
  }
}

std::uint32_t Dictionary::find(std::string_view value, std::uint64_t hash) const {
  if (slots_.empty()) return kMissing;
  const std::uint64_t key = keyOf(value, hash);
  for (std::size_t slot = slotOf(hash >> 32);; slot = nextSlot(slot)) {
    const DictionarySlot& entry = slots_[slot];
    if (entry.idPlusOne == 0) return kMissing;
    if (holds(entry, key, value)) return entry.idPlusOne - 1;
  }
}

void Dictionary::grow() {
  const std::size_t count = slots_.empty() ? 8 : slots_.size() + slots_.size() / 4;
  SlotArray old(std::move(slots_));
  slots_ = SlotArray(count);
  // Slots are ordered by the hash, so the new table fills from its front as
  // the old one is read from its front, and the old one is given back as it
  // is read: growing costs little more memory than the new table. A short
  // value's hash comes from its key alone; a long one's text is read.
  char shortText[8];
  for (std::size_t oldSlot = 0; oldSlot < old.size(); ++oldSlot) {
    const DictionarySlot& entry = old[oldSlot];
    if (entry.idPlusOne != 0) {
      std::size_t slot = slotOf(hash_(textOf(entry, shortText)) >> 32);
      while (slots_[slot].idPlusOne != 0) slot = nextSlot(slot);
      slots_[slot] = entry;
    }
    if ((oldSlot + 1) % kReleaseEvery == 0) old.release(oldSlot + 1);
  }
}

}  // namespace natjoin
