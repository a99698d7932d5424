// The output file as the writing stages see it: a buffered writer over a
// sink that takes blocks of bytes.
//
// Writing is done in large blocks, since a system call per line costs more
// than formatting the line. Rows of the join result must still reach the file
// soon after they are complete, for a reader following the file: the writer
// knows where the last complete row ends, writes out only whole rows, and
// lets the join ask it, every so often, to write out rows that have waited
// about a millisecond. The same polls redraw the progress line, if there is
// one (output/progress.h).
#ifndef NATJOIN_OUTPUT_WRITER_H_
#define NATJOIN_OUTPUT_WRITER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "output/progress.h"

namespace natjoin {

// Where the bytes go (a file: output/sinks.h). write() takes all of them or
// reports failure.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool write(const char* data, std::size_t size) = 0;
};

class OutputWriter {
 public:
  static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 19;
  // How long a complete row may wait in the buffer while the join works.
  static constexpr std::chrono::microseconds kMaxRowDelay{1000};

  // `sink` must outlive the writer.
  explicit OutputWriter(Sink& sink, std::size_t capacity = kDefaultCapacity);
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  void write(std::string_view text) {
    if (text.size() <= capacity_ - size_) {
      text.copy(buffer_.get() + size_, text.size());
      size_ += text.size();
    } else {
      writeSlow(text);
    }
  }
  void put(char c) {
    if (size_ == capacity_) makeRoom(1);
    buffer_[size_++] = c;
  }

  // Marks everything written so far as complete rows (or complete text),
  // and counts one row for the progress line.
  void endRow() {
    if (rowsEnd_ == 0) rowsWaitingSince_ = std::chrono::steady_clock::now();
    rowsEnd_ = size_;
    ++rows_;
  }
  // Writes out the complete rows if the oldest has waited too long, and
  // redraws the progress line when it is due. Looks at the clock only when
  // there are rows waiting or a progress line to keep.
  void poll() {
    if (rowsEnd_ == 0 && progress_ == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (rowsEnd_ != 0 && now - rowsWaitingSince_ >= kMaxRowDelay) flushRows();
    if (progress_ != nullptr && now >= progressDue_) updateProgress(now);
  }

  // Shows the progress of this run through `progress`, which must outlive
  // the writer; nullptr shows none (the default).
  void showProgress(Progress* progress) { progress_ = progress; }
  // For the progress line: `done` of `total` tuples of the join's outermost
  // loop are finished. The join calls it each time the outermost loop takes
  // its next tuple (done = tuples taken before it); it only stores the two
  // numbers, so it may be called as often as that.
  void setOuterProgress(std::uint64_t done, std::uint64_t total) {
    outerDone_ = done;
    outerTotal_ = total;
  }
  // Writes out everything that is buffered.
  void flush();

  // True once a write to the sink has failed; later writes are dropped.
  bool failed() const { return failed_; }

 private:
  void writeSlow(std::string_view text);
  void makeRoom(std::size_t needed);
  void flushRows();
  void sinkWrite(const char* data, std::size_t size);
  void updateProgress(std::chrono::steady_clock::time_point now);

  Sink& sink_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
  std::size_t rowsEnd_ = 0;  // bytes [0, rowsEnd_) are complete rows
  std::chrono::steady_clock::time_point rowsWaitingSince_;
  bool failed_ = false;

  Progress* progress_ = nullptr;
  std::chrono::steady_clock::time_point progressDue_;
  std::uint64_t rows_ = 0;
  std::uint64_t bytesWritten_ = 0;  // handed to the sink
  std::uint64_t outerDone_ = 0;
  std::uint64_t outerTotal_ = 0;
};

}  // namespace natjoin

#endif  // NATJOIN_OUTPUT_WRITER_H_
