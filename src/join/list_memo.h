// Lists of ids remembered by the key they were computed for, so that a key
// met again after others costs a lookup instead of a computation.
//
// A memo pays only where keys come back often enough: looking keys up and
// keeping their lists costs time and memory even where none comes back.
// Whether they do is judged on a sample of the keys, chosen by hash so that
// a key is in the sample or out of it for good, and kept whether the memo
// is used or not: a key may come back only after thousands of others, and
// the memo then pays late in the run.
//
// Cost: at most `limit` ids of lists (4 bytes each), plus per list its key
// in a KeyTable and a 4-byte start; the sample holds at most 4,096 keys.
#ifndef NATJOIN_JOIN_LIST_MEMO_H_
#define NATJOIN_JOIN_LIST_MEMO_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "join/key_table.h"

namespace natjoin {

class ListMemo {
 public:
  // Keys of `width` ids; the lists hold at most `limit` ids in all.
  ListMemo(std::size_t width, std::size_t limit)
      : keys_(width), limit_(std::min<std::size_t>(limit, UINT32_MAX)), sampled_(width) {}

  // Counts `key` in the sample, and tells whether the memo is in use.
  bool consult(const std::uint32_t* key);
  // The list kept for `key`. REQUIRES: the memo is in use.
  std::optional<std::span<const std::uint32_t>> find(const std::uint32_t* key) const;
  // Counts a computation of `steps` pruning steps, and keeps its `list` for
  // `key` if the memo is in use and has room.
  void computed(const std::uint32_t* key, std::span<const std::uint32_t> list, std::uint64_t steps);

 private:
  KeyTable keys_;
  std::vector<std::uint32_t> begin_;  // per key, where its list starts in pool_
  std::vector<std::uint32_t> pool_;
  std::size_t limit_;
  bool on_ = true;
  std::uint64_t computations_ = 0;
  std::uint64_t steps_ = 0;  // of all computations
  KeyTable sampled_;
  std::uint32_t sampledTries_ = 0;  // sampled keys in the current window,
  std::uint32_t sampledHits_ = 0;   // and those seen before
};

}  // namespace natjoin

#endif  // NATJOIN_JOIN_LIST_MEMO_H_
