// A database as the rest of the program uses it: the file's bytes, read once
// into memory the program owns, and the lists the reader builds over them.
#ifndef NATJOIN_READER_DATABASE_FILE_H_
#define NATJOIN_READER_DATABASE_FILE_H_

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>

#include "model/relation.h"

namespace natjoin {

// A block of bytes from malloc. realloc lets a buffer of unknown final size
// (a pipe) grow without holding the old and the new copy at once.
class Buffer {
 public:
  Buffer() = default;
  // A copy of `bytes` (with the reader's byte of slack).
  static Buffer copyOf(std::string_view bytes);

  std::span<char> bytes() { return {data_.get(), size_}; }

  // Replaces the contents with the whole of the file `path` (anything read()
  // can read: a regular file, a pipe, a device). Returns false if it cannot
  // be opened or read; the buffer is then empty. Throws std::bad_alloc when
  // memory runs out. A large regular file is read in two halves side by
  // side where `threads` allows.
  bool loadFile(const char* path, unsigned threads = 1);

 private:
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  void reserve(std::size_t capacity);

  std::unique_ptr<char, Free> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

struct Database {
  Buffer text;  // declared first: the relations refer into it
  JoinList joinList;
  Relations relations;
};

// Reads the file `path` into `db`, on up to `threads` threads. Returns false
// if the file cannot be opened or read in full; `db` is then left empty.
bool readDatabaseFile(const char* path, Database& db, unsigned threads = 1);

// Reads a database from a text in memory (for tests and tools).
void readDatabaseText(std::string_view text, Database& db);

}  // namespace natjoin

#endif  // NATJOIN_READER_DATABASE_FILE_H_
