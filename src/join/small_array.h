// An array of 32-bit values that keeps up to two of them in place.
//
// A join of many thousands of operands of a tuple or two each keeps a few
// arrays per operand (slots, ids, tuple numbers, text starts) of one or two
// values each. In a std::vector each would be an allocation of 32 bytes or
// more; here it is none. Larger arrays live on the heap as in a vector, and
// large ones in pages of their own. 16 bytes, plus 4 bytes per value beyond
// two. An array holds fewer than 2^32 values (16 GiB); asking for more
// throws std::bad_alloc, as memory would run out anyway.
#ifndef NATJOIN_JOIN_SMALL_ARRAY_H_
#define NATJOIN_JOIN_SMALL_ARRAY_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

namespace natjoin {

class SmallArray {
 public:
  static constexpr std::size_t kInPlace = 2;
  // Values from which an array is pages of its own (256 KiB): see moveTo.
  // Such pages come zeroed from the kernel, and are faulted in where they
  // are first written instead of all at once where zeros are asked for.
  static constexpr std::size_t kMappedFrom = std::size_t{1} << 16;

  SmallArray() = default;
  SmallArray(std::initializer_list<std::uint32_t> values) { assign(values.begin(), values.end()); }
  SmallArray(const SmallArray& other) { assign(other.begin(), other.end()); }
  SmallArray(SmallArray&& other) noexcept { take(other); }
  SmallArray& operator=(const SmallArray& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  SmallArray& operator=(SmallArray&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~SmallArray() { release(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::uint32_t* data() { return onHeap() ? heap_ : inPlace_; }
  const std::uint32_t* data() const { return onHeap() ? heap_ : inPlace_; }
  std::uint32_t* begin() { return data(); }
  std::uint32_t* end() { return data() + size_; }
  const std::uint32_t* begin() const { return data(); }
  const std::uint32_t* end() const { return data() + size_; }
  std::uint32_t& operator[](std::size_t at) { return data()[at]; }
  std::uint32_t operator[](std::size_t at) const { return data()[at]; }
  std::uint32_t back() const { return data()[size_ - 1]; }

  void clear() { size_ = 0; }
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) moveTo(capacity);
  }
  void resize(std::size_t size, std::uint32_t value = 0) {
    // Pages mapped afresh read as zeros: they are left for whoever writes
    // the values to fault in, often several threads side by side.
    const bool zeroed = value == 0 && size_ == 0 && isMapped(size) && !isMapped(capacity_);
    reserve(size);
    if (size > size_ && !zeroed) std::fill(data() + size_, data() + size, value);
    size_ = static_cast<std::uint32_t>(size);
  }
  void assign(std::size_t size, std::uint32_t value) {
    clear();
    resize(size, value);
  }
  template <typename It>
  requires(!std::is_integral_v<It>) void assign(It first, It last) {
    clear();
    reserve(static_cast<std::size_t>(last - first));
    std::copy(first, last, data());
    size_ = static_cast<std::uint32_t>(last - first);
  }
  void push_back(std::uint32_t value) {
    if (size_ == capacity_) moveTo(std::size_t{capacity_} * 2);
    data()[size_++] = value;
  }
  // Gives back the memory beyond the values held.
  void shrink_to_fit() {
    if (onHeap() && size_ < capacity_) moveTo(std::max<std::size_t>(size_, kInPlace));
  }

  friend bool operator==(const SmallArray& a, const SmallArray& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  bool onHeap() const { return capacity_ > kInPlace; }

  // Moves the values to storage for `capacity` values, in place where it
  // is kInPlace. A large array (kMappedFrom values or more) is pages of its
  // own, which change size where they are: shrinking gives the pages back
  // at once and growing copies nothing, so that neither holds the array
  // twice. (Compacting an operand of millions of tuples would otherwise
  // hold its ids twice for a moment.)
  void moveTo(std::size_t capacity) {
    if (capacity > UINT32_MAX) throw std::bad_alloc();
    if (capacity <= kInPlace) {
      std::uint32_t* const heap = heap_;
      const std::uint32_t oldCapacity = capacity_;
      std::copy_n(heap, std::min<std::size_t>(size_, kInPlace), inPlace_);
      freeStorage(heap, oldCapacity);
      capacity_ = kInPlace;
      return;
    }
    if (isMapped(capacity_) && isMapped(capacity)) {
      heap_ = remapStorage(heap_, capacity_, capacity);
    } else {
      std::uint32_t* const to = allocateStorage(capacity);
      const std::size_t kept = std::min<std::size_t>(size_, capacity);
      if (onHeap()) {
        std::copy_n(heap_, kept, to);
        freeStorage(heap_, capacity_);
      } else {
        std::copy_n(inPlace_, std::min(kept, kInPlace), to);
      }
      heap_ = to;
    }
    capacity_ = static_cast<std::uint32_t>(capacity);
  }
  static bool isMapped(std::size_t capacity) { return capacity >= kMappedFrom; }
  static std::uint32_t* allocateStorage(std::size_t capacity);
  static std::uint32_t* remapStorage(std::uint32_t* storage, std::size_t from, std::size_t to);
  static void freeStorage(std::uint32_t* storage, std::size_t capacity);
  void take(SmallArray& other) {
    size_ = other.size_;
    capacity_ = other.capacity_;
    if (other.onHeap()) {
      heap_ = other.heap_;
    } else {
      std::copy_n(other.inPlace_, std::min<std::size_t>(other.size_, kInPlace), inPlace_);
    }
    other.size_ = 0;
    other.capacity_ = kInPlace;
  }
  void release() {
    if (onHeap()) freeStorage(heap_, capacity_);
    capacity_ = kInPlace;
    size_ = 0;
  }

  union {
    std::uint32_t* heap_;
    std::uint32_t inPlace_[kInPlace] = {0, 0};
  };
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = kInPlace;
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_SMALL_ARRAY_H_
