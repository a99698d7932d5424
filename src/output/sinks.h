// Sinks of the output writer that production uses: an open file descriptor.
#ifndef NATJOIN_OUTPUT_SINKS_H_
#define NATJOIN_OUTPUT_SINKS_H_

#include <cstddef>

#include "output/writer.h"

namespace natjoin {

// Writes to the file descriptor `fd`, which it neither owns nor closes;
// retries short and interrupted writes.
class FdSink : public Sink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  bool write(const char* data, std::size_t size) override;

 private:
  int fd_;
};

}  // namespace natjoin

#endif  // NATJOIN_OUTPUT_SINKS_H_
