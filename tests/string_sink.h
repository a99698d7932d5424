// A sink that keeps the output in memory, for tests, fuzz targets and
// benchmarks that look at what was written.
#ifndef NATJOIN_TESTS_STRING_SINK_H_
#define NATJOIN_TESTS_STRING_SINK_H_

#include <algorithm>
#include <cstddef>
#include <string>

#include "output/writer.h"

namespace natjoin::test {

// Collects the bytes in memory, refusing a write once more than `limit`
// bytes would have been taken (as a full disk would).
class StringSink : public Sink {
 public:
  explicit StringSink(std::size_t limit = std::string::npos) : limit_(limit) {}
  bool write(const char* data, std::size_t size) override {
    if (size > limit_ - std::min(limit_, text_.size())) return false;
    text_.append(data, size);
    return true;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::size_t limit_;
};

}  // namespace natjoin::test

#endif  // NATJOIN_TESTS_STRING_SINK_H_
