#include "join/dictionary.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

namespace natjoin {
namespace {

// Below this many slots an array comes from the heap.
constexpr std::size_t kMappedFrom = 4096;
// While a table grows, the old one is given back every this many slots.
constexpr std::size_t kReleaseEvery = 65536;

}  // namespace

SlotArray::SlotArray(std::size_t count) : size_(count) {
  if (count < kMappedFrom) {
    data_ = new std::uint64_t[count]();
    return;
  }
  void* pages = mmap(nullptr, count * sizeof(std::uint64_t), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<std::uint64_t*>(pages);
  mapped_ = true;
}

SlotArray::~SlotArray() {
  if (mapped_) {
    munmap(data_, size_ * sizeof(std::uint64_t));
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
  const std::size_t bytes = std::min(end, size_) * sizeof(std::uint64_t) / page * page;
  // The mapping starts on a page; a failure only keeps the memory longer.
  if (bytes > 0) madvise(data_, bytes, MADV_DONTNEED);
}

void Dictionary::reserve(std::size_t count, const char* lowest, std::uint64_t span,
                         std::size_t expected) {
  // A table for the expected values at a load of two thirds, within the
  // band that growing keeps, with room for an estimate a little low.
  if (expected > 0) slots_ = SlotArray(expected + expected / 2);
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
  // Grown at a load of 0.75, by a quarter: the load stays between 0.6 and
  // 0.75, where a lookup passes over two to four slots (eight or so for a
  // value not there). Growing gives back the old table as it goes, so a
  // small step costs no memory.
  if (std::uint64_t{size_} * 4 >= slots_.size() * 3) grow();
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
  const std::size_t count = slots_.empty() ? 8 : slots_.size() + slots_.size() / 4;
  SlotArray old(std::move(slots_));
  slots_ = SlotArray(count);
  // Slots are ordered by tag, so the new table fills from its front as the
  // old one is read from its front, and the old one is given back as it is
  // read: growing costs little more memory than the new table.
  for (std::size_t oldSlot = 0; oldSlot < old.size(); ++oldSlot) {
    const std::uint64_t entry = old[oldSlot];
    if (entry != 0) {
      std::size_t slot = slotOf(entry >> 32);
      while (slots_[slot] != 0) slot = nextSlot(slot);
      slots_[slot] = entry;
    }
    if ((oldSlot + 1) % kReleaseEvery == 0) old.release(oldSlot + 1);
  }
}

}  // namespace natjoin
