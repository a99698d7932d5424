#include "join/enumerate.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "join/rows.h"

namespace natjoin {
namespace {

// How many enumeration steps pass between two looks at the clock.
constexpr std::uint32_t kPollSteps = 1024;
// How many rows ahead the last level fetches a tuple's start, and its text.
constexpr std::size_t kStartAhead = 8;
constexpr std::size_t kTextAhead = 4;
// How many tuples ahead at a level each stage of the next level's reads is
// fetched, the nearest last.
constexpr std::array<std::pair<std::size_t, Prefetch>, 4> kLevelAhead = {{
    {16, Prefetch::kGroup},
    {12, Prefetch::kMembers},
    {8, Prefetch::kStart},
    {4, Prefetch::kText},
}};
// Outer tuples split at a time.
constexpr std::uint32_t kOuterChunk = 4096;
// Chunks per thread: enough that uneven chunks even out.
constexpr std::size_t kChunksPerThread = 64;
// Bytes a chunk ahead of the frontier may collect before its thread waits.
constexpr std::size_t kMaxCollected = std::size_t{8} << 20;
// Chunks a thread may be ahead of the frontier, per thread.
constexpr std::size_t kMaxAheadPerThread = 2;

// Enumerates the rows of the outer tuples `outer`, writing them to `out`.
// `poll` is called every so often with the position in `outer`; returns
// false when the enumeration stopped because `poll` returned false or a
// write failed.
template <typename Poll>
bool enumerateSpan(OutputWriter& out, const PreparedJoin& join, const EncodedView& view,
                   LevelStates& levels, RowWriter& rows, std::span<const std::uint32_t> outer,
                   JoinStats& stats, Poll&& poll) {
  const std::size_t count = join.operands.size();
  std::vector<std::uint32_t> chosen(count, 0);
  std::vector<std::span<const std::uint32_t>> pending(count);
  pending[0] = outer;
  std::size_t level = 0;
  std::uint32_t steps = 0;
  for (;;) {
    if (++steps == kPollSteps) {
      steps = 0;
      if (!poll(outer.size() - pending[0].size()) || out.failed()) return false;
    }
    if (pending[level].empty()) {
      if (level == 0) return !out.failed();
      --level;
      continue;
    }
    chosen[level] = pending[level].front();
    pending[level] = pending[level].subspan(1);
    ++stats.candidateVisits;
    if (level + 1 == count) {
      const std::span<const std::uint32_t> ahead = pending[level];
      if (ahead.size() > kStartAhead) view.operands[level].prefetchStart(ahead[kStartAhead]);
      if (ahead.size() > kTextAhead) view.operands[level].prefetchShown(ahead[kTextAhead]);
      rows.writeRow(chosen[level]);
      ++stats.rows;
      if (out.failed()) return false;
      continue;
    }
    // The next level's reads for the tuples coming at this one.
    const std::span<const std::uint32_t> ahead = pending[level];
    if (ahead.size() > kLevelAhead.back().first) {
      for (const auto& [distance, stage] : kLevelAhead) {
        if (ahead.size() <= distance) continue;
        const std::uint32_t current = chosen[level];
        chosen[level] = ahead[distance];
        prefetchLevel(join.plan, levels, level + 1, view, join.indexes, chosen, stage);
        chosen[level] = current;
      }
    }
    rows.choose(level, chosen[level]);
    ++level;
    pending[level] = findCandidates(join.plan, levels, level, view, join.indexes, chosen, stats);
  }
}

// One thread's state for enumerating outer tuples: the chunk of the
// outermost operand split last, and a row writer that reads it.
struct OuterPass {
  OuterPass(OutputWriter& out, const PreparedJoin& join)
      : view{OperandsView(join.encoded, chunk)},
        rows(out, join.operands, join.hiddenColumns, view) {}

  EncodedOperand chunk;
  EncodedView view;
  RowWriter rows;
  std::vector<std::uint32_t> key;
};

// Enumerates the rows of outer tuples [begin, end), splitting them a
// chunk at a time. `poll` is called every so often with the number of
// outer tuples done; returns false when the enumeration stopped early.
template <typename Poll>
bool enumerateOuter(OutputWriter& out, const PreparedJoin& join, LevelStates& levels,
                    OuterPass& pass, std::uint32_t begin, std::uint32_t end, JoinStats& stats,
                    Poll&& poll) {
  const Relation& relation = *join.operands[0];
  TupleCursor cursor(relation, begin);
  for (std::uint32_t chunkBegin = begin; chunkBegin < end;) {
    const std::uint32_t chunkEnd = std::min(end, chunkBegin + kOuterChunk);
    encodeChunk(relation, join.classes.operands[0], join.hiddenColumns[0], join.encoded, cursor,
                chunkEnd, pass.chunk);
    join.outerFilter.apply(pass.chunk, pass.key);
    stats.reduceSteps += chunkEnd - chunkBegin;
    const bool finished =
        enumerateSpan(out, join, pass.view, levels, pass.rows, pass.chunk.alive, stats,
                      [&](std::size_t /*done*/) { return poll(chunkBegin - begin); });
    if (!finished) return false;
    chunkBegin = chunkEnd;
    if (!poll(chunkBegin - begin)) return false;
  }
  return true;
}

// Hands the output from chunk to chunk in order. All members but `failed`
// and `frontierSeen` are guarded by `mutex`; `out` is used only by the
// thread of the frontier chunk, or under the mutex.
class Coordinator {
 public:
  Coordinator(OutputWriter& out, std::size_t chunkCount, std::size_t maxAhead)
      : out_(out), collected_(chunkCount), maxAhead_(maxAhead) {}

  OutputWriter& out() { return out_; }
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  bool isFrontier(std::size_t chunk) const {
    return frontierSeen_.load(std::memory_order_acquire) == chunk;
  }

  // The next chunk to work on, or nullopt when there is none left.
  std::optional<std::size_t> claim() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return next_ < frontier_ + maxAhead_ || failed(); });
    if (failed() || next_ >= collected_.size()) return std::nullopt;
    return next_++;
  }

  // Writes `text` to the output once `chunk` is the frontier; returns
  // false if the output failed.
  bool takeOver(std::size_t chunk, std::string& text, bool wait) {
    std::unique_lock lock(mutex_);
    if (wait) changed_.wait(lock, [&] { return frontier_ == chunk || failed(); });
    if (frontier_ != chunk || failed()) return false;
    writeLocked(text);
    text.clear();
    return true;
  }

  // Direct writes of the frontier chunk's thread.
  void write(const char* data, std::size_t size) {
    out_.write({data, size});
    if (size > 0 && data[size - 1] == '\n') out_.endRow();
    noteFailure();
  }

  // `chunk` has ended; `text` holds what it collected (empty if it wrote
  // directly). Writes the collected rows of every chunk now due.
  void finish(std::size_t chunk, std::string&& text) {
    std::lock_guard lock(mutex_);
    collected_[chunk] = std::move(text);
    while (frontier_ < collected_.size() && collected_[frontier_].has_value()) {
      writeLocked(*collected_[frontier_]);
      collected_[frontier_]->clear();
      spare_.push_back(std::move(*collected_[frontier_]));
      collected_[frontier_].reset();
      ++frontier_;
    }
    frontierSeen_.store(frontier_, std::memory_order_release);
    changed_.notify_all();
  }

  // A buffer for collecting rows, with room from earlier use where there is
  // one: fresh memory costs a page fault per page.
  std::string spare() {
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    std::string text = std::move(spare_.back());
    spare_.pop_back();
    return text;
  }

  void fail() {
    failed_.store(true);
    std::lock_guard lock(mutex_);
    changed_.notify_all();
  }

 private:
  void writeLocked(const std::string& text) {
    if (text.empty() || failed()) return;
    out_.write(text);
    out_.endRow();
    out_.poll();
    noteFailure();
  }
  void noteFailure() {
    if (out_.failed() && !failed()) {
      failed_.store(true);
      changed_.notify_all();
    }
  }

  OutputWriter& out_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::optional<std::string>> collected_;
  std::vector<std::string> spare_;
  std::size_t frontier_ = 0;
  std::size_t next_ = 0;
  std::size_t maxAhead_;
  std::atomic<std::size_t> frontierSeen_{0};
  std::atomic<bool> failed_{false};
};

// What one thread's writer writes into: the real output while its chunk is
// the frontier, else memory.
class ChunkSink : public Sink {
 public:
  explicit ChunkSink(Coordinator& coordinator) : coordinator_(coordinator) {}

  void begin(std::size_t chunk) {
    chunk_ = chunk;
    direct_ = false;
    if (taken_) collected_ = coordinator_.spare();
    taken_ = false;
    collected_.clear();
  }
  bool direct() const { return direct_; }
  std::string take() {
    taken_ = true;
    return std::move(collected_);
  }

  // Takes over the output if the chunk has become the frontier.
  void poll() {
    if (!direct_ && coordinator_.isFrontier(chunk_)) {
      direct_ = coordinator_.takeOver(chunk_, collected_, false);
    }
    if (direct_) coordinator_.out().poll();
  }

  bool write(const char* data, std::size_t size) override {
    if (coordinator_.failed()) return false;
    if (!direct_ && coordinator_.isFrontier(chunk_)) {
      direct_ = coordinator_.takeOver(chunk_, collected_, false);
    }
    if (direct_) {
      coordinator_.write(data, size);
      return !coordinator_.failed();
    }
    collected_.append(data, size);
    if (collected_.size() >= kMaxCollected) {
      direct_ = coordinator_.takeOver(chunk_, collected_, true);
      if (!direct_) return false;
    }
    return true;
  }

 private:
  Coordinator& coordinator_;
  std::size_t chunk_ = 0;
  bool direct_ = false;
  bool taken_ = false;
  std::string collected_;
};

void enumerateParallel(OutputWriter& out, const PreparedJoin& join, unsigned threads,
                       JoinStats& stats) {
  const std::size_t total = join.operands[0]->tupleCount();
  const std::size_t chunkSize =
      std::max<std::size_t>(1, total / (std::size_t{threads} * kChunksPerThread));
  const std::size_t chunkCount = (total + chunkSize - 1) / chunkSize;
  Coordinator coordinator(out, chunkCount, std::size_t{threads} * kMaxAheadPerThread);
  std::vector<JoinStats> threadStats(threads);
  // The indexes every thread will need are built first, side by side.
  const auto used = indexesUsed(join.plan, join.encoded);
  std::atomic<std::size_t> nextIndex{0};

  auto work = [&](unsigned threadIdx) {
    for (std::size_t at = nextIndex++; at < used.size(); at = nextIndex++) {
      join.indexes.get(used[at].first, used[at].second);
    }
    LevelStates levels(join.plan);
    ChunkSink sink(coordinator);
    OutputWriter chunkOut(sink);
    OuterPass pass(chunkOut, join);
    while (const std::optional<std::size_t> chunk = coordinator.claim()) {
      sink.begin(*chunk);
      const std::size_t begin = *chunk * chunkSize;
      const std::size_t end = std::min(total, begin + chunkSize);
      enumerateOuter(chunkOut, join, levels, pass, static_cast<std::uint32_t>(begin),
                     static_cast<std::uint32_t>(end), threadStats[threadIdx],
                     [&](std::size_t done) {
                       chunkOut.poll();
                       sink.poll();
                       if (sink.direct()) out.setOuterProgress(begin + done, total);
                       // Another thread's failed write stops this one too.
                       return !coordinator.failed();
                     });
      chunkOut.flush();
      if (chunkOut.failed() || coordinator.failed()) {
        coordinator.fail();
        return;
      }
      coordinator.finish(*chunk, sink.take());
    }
  };
  // What a thread throws (running out of memory) stops the others, and is
  // thrown again here once they are done.
  std::exception_ptr error;
  std::mutex errorMutex;
  auto guarded = [&](unsigned threadIdx) {
    try {
      work(threadIdx);
    } catch (...) {
      {
        std::lock_guard lock(errorMutex);
        if (!error) error = std::current_exception();
      }
      coordinator.fail();
    }
  };
  std::vector<std::thread> helpers;
  helpers.reserve(threads - 1);  // no allocation once threads run
  for (unsigned threadIdx = 1; threadIdx < threads; ++threadIdx) {
    // Chunks are claimed as threads come free, so fewer threads than asked
    // for (where the system has no more to give) do the same work.
    try {
      helpers.emplace_back(guarded, threadIdx);
    } catch (const std::system_error&) {
      break;
    }
  }
  guarded(0);
  for (std::thread& helper : helpers) helper.join();
  if (error) std::rethrow_exception(error);
  for (const JoinStats& part : threadStats) {
    stats.reduceSteps += part.reduceSteps;
    stats.candidateSteps += part.candidateSteps;
    stats.candidateVisits += part.candidateVisits;
    stats.rows += part.rows;
  }
}

}  // namespace

unsigned threadCount() {
  if (const char* text = std::getenv("NATJOIN_THREADS")) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && value > 0 && value <= 1024) {
      return static_cast<unsigned>(value);
    }
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

void enumerateRows(OutputWriter& out, const PreparedJoin& join, unsigned threads,
                   JoinStats& stats) {
  const std::size_t total = join.operands[0]->tupleCount();
  if (threads > 1 && total > 1) {
    enumerateParallel(out, join, threads, stats);
    return;
  }
  OuterPass pass(out, join);
  LevelStates levels(join.plan);
  enumerateOuter(out, join, levels, pass, 0, static_cast<std::uint32_t>(total), stats,
                 [&](std::size_t done) {
                   out.setOuterProgress(done, total);
                   out.poll();
                   return true;
                 });
}

}  // namespace natjoin
