// Estimates of how many distinct values the variables have, made before
// their dictionaries are filled, so that a large dictionary's table is
// sized once instead of growing step by step: each step writes a fresh
// table, and on these machines fresh memory costs more to fault in than
// the values cost to hash.
//
// The estimate is a HyperLogLog sketch of the values' hashes: per register
// (chosen by the top bits of a hash) the longest run of zeros seen in the
// bits below. 4 KiB per sketched variable, within about 2%; a value
// missed or an estimate off only costs a dictionary a step of growth.
#ifndef NATJOIN_JOIN_SKETCH_H_
#define NATJOIN_JOIN_SKETCH_H_

#include <bit>
#include <cstdint>
#include <vector>

#include "join/classes.h"
#include "join/columns.h"

namespace natjoin {

class DistinctSketch {
 public:
  static constexpr unsigned kRegisterBits = 12;

  DistinctSketch() : ranks_(std::size_t{1} << kRegisterBits, 0) {}

  // The high bits of a text hash are its best mixed: the register is
  // chosen by the top ones, the rank is the run of zeros below them.
  void add(std::uint64_t hash) {
    const std::size_t reg = hash >> (64 - kRegisterBits);
    const std::uint64_t below = (hash << kRegisterBits) | (std::uint64_t{1} << (kRegisterBits - 1));
    const auto rank = static_cast<std::uint8_t>(std::countl_zero(below) + 1);
    if (rank > ranks_[reg]) ranks_[reg] = rank;
  }
  // Makes this the sketch of both value sets.
  void merge(const DistinctSketch& other);
  double estimate() const;

 private:
  std::vector<std::uint8_t> ranks_;
};

// Variables with fewer values than this in the operands that fill
// dictionaries grow their tables instead: sketching would cost more.
inline constexpr std::size_t kSketchFrom = std::size_t{1} << 16;

// Per variable, an estimate of the distinct values that the operands after
// the first bring, for those with `valueCount` (values brought, distinct
// or not) at least kSketchFrom; 0 for the others. The operands are read on
// up to `threads` threads. Where `mostlyRepeats` is given, it tells per
// variable whether its values were found to be mostly repeats, so that it
// was not sketched further (its estimate is 0 then too).
std::vector<std::size_t> estimateDistinct(const Operands& operands, const JoinClasses& classes,
                                          const HiddenColumns& hiddenColumns,
                                          const std::vector<std::size_t>& valueCount,
                                          TextHashFn hash, unsigned threads,
                                          std::vector<std::uint8_t>* mostlyRepeats = nullptr);

}  // namespace natjoin

#endif  // NATJOIN_JOIN_SKETCH_H_
