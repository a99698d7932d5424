// Counters of the join's work, for tests that bound it: a bound on work is
// checked by counting, never by a clock.
#ifndef NATJOIN_JOIN_STATS_H_
#define NATJOIN_JOIN_STATS_H_

#include <cstdint>

namespace natjoin {

struct JoinStats {
  std::uint64_t reduceSteps = 0;      // tuples looked at by semi-joins and filters
  std::uint64_t candidateSteps = 0;   // tuples and keys looked at to prune candidates
  std::uint64_t candidateVisits = 0;  // candidates taken by the enumeration
  std::uint64_t rows = 0;             // rows written
  // Keys of tuples found in a pruning step read from beside them in an
  // index instead of from their rows (not part of total()).
  std::uint64_t carriedKeys = 0;

  std::uint64_t total() const { return reduceSteps + candidateSteps + candidateVisits; }
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_STATS_H_
