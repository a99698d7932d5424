#include "join/key_index.h"

#include <cstring>

namespace natjoin {

std::uint64_t hashValue(std::string_view value, std::uint64_t hash) {
  constexpr std::uint64_t kMul1 = 0xbf58476d1ce4e5b9ULL;
  constexpr std::uint64_t kMul2 = 0x94d049bb133111ebULL;
  hash ^= value.size() * 0x9e3779b97f4a7c15ULL;
  const char* p = value.data();
  std::size_t left = value.size();
  while (left >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    hash = (hash ^ word) * kMul1;
    hash ^= hash >> 31;
    p += 8;
    left -= 8;
  }
  std::uint64_t word = 0;
  if (left > 0) std::memcpy(&word, p, left);
  hash = (hash ^ word) * kMul2;
  return hash ^ (hash >> 29);
}

std::vector<std::uint64_t> hashKeys(const Columns& columns, const std::vector<std::uint32_t>& slots,
                                    std::span<const std::uint32_t> tuples, std::size_t tupleCount) {
  std::vector<std::uint64_t> hashes(tupleCount);
  for (const std::uint32_t tuple : tuples) {
    std::uint64_t hash = kHashSeed;
    for (const std::uint32_t slot : slots) hash = hashValue(columns.at(tuple, slot), hash);
    hashes[tuple] = hash;
  }
  return hashes;
}

}  // namespace natjoin
