#include "output/writer.h"

#include <cstring>

namespace natjoin {

OutputWriter::OutputWriter(Sink& sink, std::size_t capacity)
    : sink_(sink), capacity_(capacity), buffer_(std::make_unique_for_overwrite<char[]>(capacity)) {}

void OutputWriter::sinkWrite(const char* data, std::size_t size) {
  if (failed_ || size == 0) return;
  if (!sink_.write(data, size)) failed_ = true;
  bytesWritten_ += size;
}

void OutputWriter::updateProgress(std::chrono::steady_clock::time_point now) {
  progress_->update(now, {outerDone_, outerTotal_, rows_, bytesWritten_});
  // Progress keeps its own pace; this only spares it calls between redraws.
  progressDue_ = now + Progress::kRedrawInterval;
}

void OutputWriter::flushRows() {
  sinkWrite(buffer_.get(), rowsEnd_);
  std::memmove(buffer_.get(), buffer_.get() + rowsEnd_, size_ - rowsEnd_);
  size_ -= rowsEnd_;
  rowsEnd_ = 0;
}

void OutputWriter::flush() {
  sinkWrite(buffer_.get(), size_);
  size_ = 0;
  rowsEnd_ = 0;
}

void OutputWriter::makeRoom(std::size_t needed) {
  if (rowsEnd_ != 0) flushRows();
  // A single row longer than the buffer cannot go out whole: write what
  // there is of it.
  if (needed > capacity_ - size_) flush();
}

void OutputWriter::writeSlow(std::string_view text) {
  makeRoom(text.size());
  if (text.size() <= capacity_ - size_) {
    text.copy(buffer_.get() + size_, text.size());
    size_ += text.size();
  } else {
    sinkWrite(text.data(), text.size());
  }
}

}  // namespace natjoin
