// Output of the chunks of the outermost operand, written in chunk order
// while several threads enumerate them.
//
// The chunk whose rows are due next (the frontier) writes straight to the
// output; a chunk ahead of it collects its rows in memory, up to
// kMaxCollected bytes, and its thread then waits until its chunk becomes
// the frontier. When the frontier chunk ends, the collected rows of the
// chunks after it are written in order. A failed write stops every thread.
#ifndef NATJOIN_JOIN_CHUNK_OUTPUT_H_
#define NATJOIN_JOIN_CHUNK_OUTPUT_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "output/writer.h"

namespace natjoin {

// Bytes a chunk ahead of the frontier may collect before its thread waits.
inline constexpr std::size_t kMaxCollected = std::size_t{8} << 20;

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

}  // namespace natjoin

#endif  // NATJOIN_JOIN_CHUNK_OUTPUT_H_
