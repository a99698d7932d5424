// Shared helpers of the test suite: in-memory runs of the pipeline, files in
// a temporary folder, and runs of the real binary.
#ifndef NATJOIN_TESTS_TEST_UTIL_H_
#define NATJOIN_TESTS_TEST_UTIL_H_

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "reader/database_file.h"

namespace natjoin::test {

// Reads a database from text.
std::unique_ptr<Database> parse(std::string_view text);

// The whole output file (echo and result) for a database text.
std::string outputFor(std::string_view text);

// A folder that is removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view bytes);

struct RunResult {
  int status = -1;     // exit status, or -1 if the process did not exit normally
  int signal = 0;      // the signal that ended it, if any
  std::string output;  // what it wrote to standard output
};

// Runs the natjoin binary with `args` (program name not included), feeding
// `input` to its standard input. A non-zero `addressSpaceLimit` caps the
// child's virtual memory, in bytes.
RunResult runNatjoin(const std::vector<std::string>& args, std::string_view input = {},
                     std::size_t addressSpaceLimit = 0);

}  // namespace natjoin::test

#endif  // NATJOIN_TESTS_TEST_UTIL_H_
