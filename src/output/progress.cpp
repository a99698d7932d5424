#include "output/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>

namespace natjoin {
namespace {

// Carriage return, then "erase to the end of the line": a shorter line
// leaves nothing of a longer one behind.
constexpr char kClearLine[] = "\r\033[K";
constexpr double kBytesPerMegabyte = 1e6;

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void Progress::update(Clock::time_point now, const ProgressCounts& counts) {
  const auto elapsed = now - start_;
  if (elapsed < kQuietPeriod) return;
  if (shown_ && now - lastDrawn_ < kRedrawInterval) return;
  const std::uint64_t percent =
      counts.outerTotal == 0 ? 0 : counts.outerDone * 100 / counts.outerTotal;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  char line[128];
  const int length = std::snprintf(
      line, sizeof line, "%snatjoin: %3" PRIu64 "%%  %" PRIu64 " rows  %.1f MB  %lld:%02lld",
      kClearLine, percent, counts.rows, static_cast<double>(counts.bytes) / kBytesPerMegabyte,
      static_cast<long long>(seconds / 60), static_cast<long long>(seconds % 60));
  if (length <= 0) return;
  writeAll(fd_, line, std::min(static_cast<std::size_t>(length), sizeof line - 1));
  shown_ = true;
  lastDrawn_ = now;
}

void Progress::erase() {
  if (!shown_) return;
  writeAll(fd_, kClearLine, sizeof kClearLine - 1);
  shown_ = false;
}

}  // namespace natjoin
