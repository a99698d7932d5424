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

#include "reader/reader.h"

namespace natjoin {
namespace {

constexpr std::size_t kMinReadSize = std::size_t{1} << 16;

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

bool Buffer::loadFile(const char* path) {
  size_ = 0;
  FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return false;

  // A regular file is read into a buffer of its exact size; anything else
  // (a pipe, a device) grows the buffer as it goes.
  struct stat info {};
  if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    reserve(static_cast<std::size_t>(info.st_size) + 1);
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

bool readDatabaseFile(const char* path, Database& db) {
  if (!db.text.loadFile(path)) return false;
  readDatabase(db.text.bytes(), db.joinList, db.relations);
  return true;
}

void readDatabaseText(std::string_view text, Database& db) {
  db.text = Buffer::copyOf(text);
  readDatabase(db.text.bytes(), db.joinList, db.relations);
}

}  // namespace natjoin
