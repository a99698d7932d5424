#include "join/sketch.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <thread>

#include "join/split.h"
#include "join/threads.h"

namespace natjoin {
namespace {

// The operands are sketched in two parts: the first of kParts shares of
// each, then, for the variables where it finds enough distinct values
// (kWorthFrom of those sketched), the rest.
constexpr std::uint64_t kParts = 8;
constexpr double kWorthFrom = 0.05;

// Adds the hashes of the sketched variables' values in tuples [begin, end)
// of `relation` to `sketches` (by variable; null where not sketched).
void sketchTuples(const Relation& relation, const SplitLayout& layout, TextHashFn hash,
                  std::uint64_t begin, std::uint64_t end,
                  const std::vector<DistinctSketch*>& sketches) {
  const OperandVars& vars = *layout.vars;
  TupleCursor cursor(relation, begin);
  for (std::uint64_t tuple = begin; tuple < end; ++tuple) {
    const TupleView view = cursor.next();
    if (!view.hasValues()) continue;
    std::string_view rest = view.text();
    for (std::uint32_t position = 0;; ++position) {
      const std::size_t comma = rest.find(',');
      const std::uint32_t slot = vars.slotOfPosition[position];
      if (slot != kNoSlot) {
        if (DistinctSketch* sketch = sketches[vars.vars[slot]])
          sketch->add(hash(rest.substr(0, comma)));
      }
      if (position == layout.lastPosition || comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
}

}  // namespace

void DistinctSketch::merge(const DistinctSketch& other) {
  for (std::size_t reg = 0; reg < ranks_.size(); ++reg) {
    ranks_[reg] = std::max(ranks_[reg], other.ranks_[reg]);
  }
}

double DistinctSketch::estimate() const {
  const auto registers = static_cast<double>(ranks_.size());
  double sum = 0;
  std::size_t empty = 0;
  for (const std::uint8_t rank : ranks_) {
    sum += std::ldexp(1.0, -rank);
    if (rank == 0) ++empty;
  }
  const double alpha = 0.7213 / (1 + 1.079 / registers);
  const double raw = alpha * registers * registers / sum;
  // Few values leave registers empty; counting those is then the better
  // estimate.
  if (raw <= 2.5 * registers && empty > 0) {
    return registers * std::log(registers / static_cast<double>(empty));
  }
  return raw;
}

std::vector<std::size_t> estimateDistinct(const Operands& operands, const JoinClasses& classes,
                                          const HiddenColumns& hiddenColumns,
                                          const std::vector<std::size_t>& valueCount,
                                          TextHashFn hash, unsigned threads,
                                          std::vector<std::uint8_t>* mostlyRepeats) {
  std::vector<std::size_t> distinct(valueCount.size(), 0);
  if (mostlyRepeats != nullptr) mostlyRepeats->assign(valueCount.size(), 0);
  std::vector<std::uint32_t> sketched;
  for (std::uint32_t var = 0; var < valueCount.size(); ++var) {
    if (valueCount[var] >= kSketchFrom) sketched.push_back(var);
  }
  if (sketched.empty()) return distinct;
  // Each sketching thread costs a sketch per variable: no more of them than
  // cores.
  threads = std::clamp(threads, 1u, std::max(1u, std::thread::hardware_concurrency()));
  // Per thread, sketches of its own, merged at the end; `active` tells
  // which variables are still sketched.
  std::vector<std::vector<DistinctSketch>> own(threads,
                                               std::vector<DistinctSketch>(sketched.size()));
  std::vector<bool> active(sketched.size(), true);

  // Sketches tuples [count * from / kParts, count * to / kParts) of every
  // operand having an active variable, each thread a share of them.
  auto sketchPart = [&](std::uint64_t from, std::uint64_t to) {
    runOnThreads(
        threads, Unstarted::kDoHere,
        [&](unsigned threadIdx) {
          std::vector<DistinctSketch*> sketches(valueCount.size(), nullptr);
          for (std::size_t at = 0; at < sketched.size(); ++at) {
            if (active[at]) sketches[sketched[at]] = &own[threadIdx][at];
          }
          for (std::size_t operandIdx = 1; operandIdx < operands.size(); ++operandIdx) {
            const OperandVars& vars = classes.operands[operandIdx];
            if (std::none_of(vars.vars.begin(), vars.vars.end(),
                             [&](std::uint32_t var) { return sketches[var] != nullptr; })) {
              continue;
            }
            const Relation& relation = *operands[operandIdx];
            const std::uint64_t begin = relation.tupleCount() * from / kParts;
            const std::uint64_t end = relation.tupleCount() * to / kParts;
            sketchTuples(relation, SplitLayout(vars, hiddenColumns[operandIdx]), hash,
                         begin + (end - begin) * threadIdx / threads,
                         begin + (end - begin) * (threadIdx + 1) / threads, sketches);
          }
        },
        [] {});
  };
  auto merged = [&](std::size_t at) {
    for (unsigned threadIdx = 1; threadIdx < threads; ++threadIdx) {
      own[0][at].merge(own[threadIdx][at]);
      own[threadIdx][at] = DistinctSketch();
    }
    return own[0][at].estimate();
  };

  // A table sized at once saves some 100 ns per distinct value against
  // growing, and sketching costs a few ns per value, so a variable whose
  // first part shows few distinct values is left to grow.
  sketchPart(0, 1);
  for (std::size_t at = 0; at < sketched.size(); ++at) {
    const double part = static_cast<double>(valueCount[sketched[at]]) / kParts;
    active[at] = merged(at) >= kWorthFrom * part;
    if (mostlyRepeats != nullptr && !active[at]) (*mostlyRepeats)[sketched[at]] = 1;
  }
  if (std::find(active.begin(), active.end(), true) == active.end()) return distinct;
  sketchPart(1, kParts);
  for (std::size_t at = 0; at < sketched.size(); ++at) {
    if (!active[at]) continue;
    distinct[sketched[at]] = static_cast<std::size_t>(
        std::min(merged(at), static_cast<double>(valueCount[sketched[at]])));
  }
  return distinct;
}

}  // namespace natjoin
