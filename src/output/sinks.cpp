#include "output/sinks.h"

#include <unistd.h>

#include <cerrno>

namespace natjoin {

bool FdSink::write(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace natjoin
