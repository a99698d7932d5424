#include "join/list_memo.h"

#include <algorithm>

namespace natjoin {
namespace {

// The sample: keys whose hash has its top kSampleBits bits clear (one in
// 16), judged a window of kSampleWindow sampled keys at a time. A window
// keeps the memo in use if it would save more pruning steps than its
// lookups cost, each counted as kTryCost steps.
constexpr unsigned kSampleBits = 4;
constexpr std::uint32_t kSampleWindow = 64;
constexpr std::size_t kMaxSampled = std::size_t{1} << 12;
constexpr std::uint64_t kTryCost = 8;

}  // namespace

bool ListMemo::consult(const std::uint32_t* key) {
  const std::uint64_t hash = hashIds(key, sampled_.width());
  if ((hash >> (64 - kSampleBits)) != 0) return on_;
  const std::size_t before = sampled_.size();
  const bool seen = before < kMaxSampled ? sampled_.insert(key) < before : sampled_.contains(key);
  ++sampledTries_;
  sampledHits_ += seen ? 1 : 0;
  if (sampledTries_ == kSampleWindow) {
    // A hit saves a computation of average cost; a try costs about a lookup.
    const std::uint64_t averageSteps = steps_ / std::max<std::uint64_t>(1, computations_);
    on_ = sampledHits_ * averageSteps >= sampledTries_ * kTryCost;
    sampledTries_ = 0;
    sampledHits_ = 0;
  }
  return on_;
}

std::optional<std::span<const std::uint32_t>> ListMemo::find(const std::uint32_t* key) const {
  const std::uint32_t entry = keys_.find(key);
  if (entry == KeyTable::kNone) return std::nullopt;
  const std::uint32_t end =
      entry + 1 < begin_.size() ? begin_[entry + 1] : static_cast<std::uint32_t>(pool_.size());
  return std::span<const std::uint32_t>(pool_.data() + begin_[entry], end - begin_[entry]);
}

void ListMemo::computed(const std::uint32_t* key, std::span<const std::uint32_t> list,
                        std::uint64_t steps) {
  ++computations_;
  steps_ += steps;
  if (!on_ || pool_.size() + list.size() > limit_) return;
  // Room for the whole budget at once: pages cost memory only once written,
  // and the pool is never copied to grow.
  if (pool_.capacity() == 0) pool_.reserve(limit_);
  keys_.insert(key);
  begin_.push_back(static_cast<std::uint32_t>(pool_.size()));
  pool_.insert(pool_.end(), list.begin(), list.end());
}

}  // namespace natjoin
