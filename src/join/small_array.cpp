#include "join/small_array.h"

#include <sys/mman.h>

namespace natjoin {
namespace {

std::size_t bytesOf(std::size_t capacity) {
  constexpr std::size_t kPage = 4096;
  return (capacity * sizeof(std::uint32_t) + kPage - 1) / kPage * kPage;
}

}  // namespace

std::uint32_t* SmallArray::allocateStorage(std::size_t capacity) {
  if (!isMapped(capacity)) return new std::uint32_t[capacity];
  void* const pages =
      mmap(nullptr, bytesOf(capacity), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  // Faulted in 2 MiB at a time where the system allows it: a fault per
  // 4 KiB page costs more than writing the page.
  madvise(pages, bytesOf(capacity), MADV_HUGEPAGE);
  return static_cast<std::uint32_t*>(pages);
}

std::uint32_t* SmallArray::remapStorage(std::uint32_t* storage, std::size_t from, std::size_t to) {
  if (bytesOf(from) == bytesOf(to)) return storage;
  void* const pages = mremap(storage, bytesOf(from), bytesOf(to), MREMAP_MAYMOVE);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  return static_cast<std::uint32_t*>(pages);
}

void SmallArray::freeStorage(std::uint32_t* storage, std::size_t capacity) {
  if (isMapped(capacity)) {
    munmap(storage, bytesOf(capacity));
  } else {
    delete[] storage;
  }
}

}  // namespace natjoin
