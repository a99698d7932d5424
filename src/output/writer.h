// The output file as the writing stages see it: a buffered writer over a
// sink that takes blocks of bytes.
//
// Writing is done in large blocks, since a system call per line costs more
// than formatting the line. Rows of the join result must still reach the file
// soon after they are complete, for a reader following the file: the writer
// knows where the last complete row ends, writes out only whole rows, and
// lets the join ask it, every so often, to write out rows that have waited
// about a millisecond.
#ifndef NATJOIN_OUTPUT_WRITER_H_
#define NATJOIN_OUTPUT_WRITER_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>

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

  // Marks everything written so far as complete rows (or complete text).
  void endRow() {
    if (rowsEnd_ == 0) rowsWaitingSince_ = std::chrono::steady_clock::now();
    rowsEnd_ = size_;
  }
  // Writes out the complete rows if the oldest has waited too long.
  void poll() {
    if (rowsEnd_ != 0 && std::chrono::steady_clock::now() - rowsWaitingSince_ >= kMaxRowDelay) {
      flushRows();
    }
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

  Sink& sink_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;
  std::size_t rowsEnd_ = 0;  // bytes [0, rowsEnd_) are complete rows
  std::chrono::steady_clock::time_point rowsWaitingSince_;
  bool failed_ = false;
};

}  // namespace natjoin

#endif  // NATJOIN_OUTPUT_WRITER_H_
