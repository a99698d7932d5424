// Runs the real binary on every folder of tests/cases: `db.txt` is the
// database and `expected.txt` the exact output file. A folder may also hold
// `stdout.txt` (default: empty) and `status` (default: 0).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

namespace natjoin::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> caseNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(NATJOIN_CASES_DIR)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Cases : public ::testing::TestWithParam<std::string> {};

TEST_P(Cases, OutputMatches) {
  const fs::path dir = fs::path(NATJOIN_CASES_DIR) / GetParam();
  TempDir tmp;
  const std::string output = tmp.file("out.txt");
  const RunResult run = runNatjoin({(dir / "db.txt").string(), output});

  int expectedStatus = 0;
  if (fs::exists(dir / "status")) expectedStatus = std::stoi(readFile(dir / "status"));
  const std::string expectedStdout =
      fs::exists(dir / "stdout.txt") ? readFile(dir / "stdout.txt") : "";
  EXPECT_EQ(run.status, expectedStatus);
  EXPECT_EQ(run.output, expectedStdout);
  EXPECT_EQ(readFile(output), readFile(dir / "expected.txt"));
  // The in-memory pipeline writes the same bytes as the binary.
  EXPECT_EQ(outputFor(readFile(dir / "db.txt")), readFile(dir / "expected.txt"));
}

std::string testName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
      '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Folders, Cases, ::testing::ValuesIn(caseNames()), testName);

}  // namespace
}  // namespace natjoin::test
