#include "reader/database_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "reader/reader.h"

namespace natjoin {
namespace {

constexpr std::size_t kMinReadSize = std::size_t{1} << 16;
// Files from this size are read in two halves at once: each thread faults
// its half of the buffer in and copies into it, which for a large file
// costs more than the reading thread's start.
constexpr std::size_t kHalvedReadFrom = std::size_t{8} << 20;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// The join reads a large database's text at random places, a TLB miss per
// 4 KiB page, and reading the file faults every page in: the buffer's whole
// 2 MiB pages are asked for as huge pages before they are written (the
// fact-last star at ten times the bench size: 79,000 page faults to 57,000,
// 12% less time). Only advice: where the kernel gives none, nothing
// changes, and the memory is the same.
void adviseHugePages(char* data, std::size_t size) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t skip = (kHugePage - address % kHugePage) % kHugePage;
  if (size <= skip) return;
  const std::size_t length = (size - skip) / kHugePage * kHugePage;
  if (length > 0) ::madvise(data + skip, length, MADV_HUGEPAGE);
}

// Reads bytes [from, to) of `fd` into data + from. False on an error or
// where the file ends sooner (it was cut meanwhile).
bool readRange(int fd, char* data, std::size_t from, std::size_t to) {
  while (from < to) {
    const ssize_t got = ::pread(fd, data + from, to - from, static_cast<off_t>(from));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    from += static_cast<std::size_t>(got);
  }
  return true;
}

// Reads the first `size` bytes of `fd` into `data`, the second half on a
// thread of its own. False where that thread cannot be had or a half
// cannot be read in full: the caller then reads the file as it comes.
bool readHalves(int fd, char* data, std::size_t size) {
  const std::size_t half = size / 2;
  bool secondRead = false;
  std::thread second;
  try {
    second = std::thread([&] { secondRead = readRange(fd, data, half, size); });
  } catch (const std::system_error&) {
    return false;
  }
  const bool firstRead = readRange(fd, data, 0, half);
  second.join();
  return firstRead && secondRead;
}

}  // namespace

Buffer Buffer::copyOf(std::string_view bytes) {
  Buffer buffer;
  buffer.reserve(bytes.size() + 1);
  if (!bytes.empty()) std::memcpy(buffer.data_.get(), bytes.data(), bytes.size());
  buffer.size_ = bytes.size();
  return buffer;
}

void Buffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  char* grown = static_cast<char*>(std::realloc(data_.get(), capacity));
  if (grown == nullptr) throw std::bad_alloc();
  static_cast<void>(data_.release());
  data_.reset(grown);
  capacity_ = capacity;
  adviseHugePages(grown, capacity);
}

bool Buffer::loadFile(const char* path, unsigned threads) {
  size_ = 0;
  FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return false;

  // A regular file is read into a buffer of its exact size; anything else
  // (a pipe, a device) grows the buffer as it goes.
  struct stat info {};
  if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    const auto size = static_cast<std::size_t>(info.st_size);
    reserve(size + 1);
    // Read in halves, the loop below then only finds the end (or what was
    // added meanwhile). Where that fails, the loop reads it all again.
    if (threads > 1 && size >= kHalvedReadFrom) {
      if (readHalves(file.get(), data_.get(), size) &&
          ::lseek(file.get(), info.st_size, SEEK_SET) == info.st_size) {
        size_ = size;
      } else if (::lseek(file.get(), 0, SEEK_SET) != 0) {
        return false;
      }
    }
  }
  reserve(kMinReadSize);
  for (;;) {
    // One byte of slack stays free after the data for the reader. When the
    // buffer is full, a one-byte read tells the end of the file from more
    // data, so an exactly sized buffer never grows.
    if (size_ + 1 == capacity_) {
      char probe = 0;
      const ssize_t got = ::read(file.get(), &probe, 1);
      if (got == 0) return true;
      if (got < 0) {
        if (errno == EINTR) continue;
        size_ = 0;
        return false;
      }
      reserve(std::max(capacity_ * 2, size_ + kMinReadSize));
      data_.get()[size_++] = probe;
      continue;
    }
    const ssize_t got = ::read(file.get(), data_.get() + size_, capacity_ - size_ - 1);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      size_ = 0;
      return false;
    }
    size_ += static_cast<std::size_t>(got);
  }
}

bool readDatabaseFile(const char* path, Database& db, unsigned threads) {
  if (!db.text.loadFile(path, threads)) return false;
  readDatabase(db.text.bytes(), db.joinList, db.relations);
  return true;
}

void readDatabaseText(std::string_view text, Database& db) {
  db.text = Buffer::copyOf(text);
  readDatabase(db.text.bytes(), db.joinList, db.relations);
}

}  // namespace natjoin
