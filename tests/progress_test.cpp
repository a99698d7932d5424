// The progress line of the real binary: shown on a terminal once a run has
// lasted a second, erased at the end; never anything when standard error is
// not a terminal, and never anything on standard output.
//
// A run is made long by a cross product written to /dev/null. Its size is
// found by trying: a build with sanitizers is many times slower than an
// optimised one, so each test grows the product until one run lasts long
// enough to judge.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_util.h"

namespace natjoin::test {
namespace {

using Seconds = std::chrono::duration<double>;

// A run this long has passed the one-second quiet period by a safe margin.
constexpr Seconds kLongEnough{1.5};
// Runs shorter than this must not have shown the line.
constexpr Seconds kClearlyShort{0.8};
constexpr Seconds kTargetLength{2.5};
constexpr int kMaxAttempts = 6;
constexpr std::size_t kStartSide = 1000;
// Clears the terminal line: carriage return, then erase to its end.
constexpr char kErase[] = "\r\033[K";

struct TimedRun {
  int status = -1;
  Seconds length{};
  std::string terminal;  // what arrived on the terminal, if there was one
};

// Writes R(a) and S(b) with `side` tuples each: `side`² rows.
void writeCrossProduct(const std::string& path, std::size_t side) {
  std::string text = "join(R, S)\n\nR(a)\n";
  for (const char* header : {"", "\nS(b)\n"}) {
    text += header;
    for (std::size_t i = 0; i < side; ++i) {
      text += header[0] == '\0' ? 'r' : 's';
      text += std::to_string(i);
      text += '\n';
    }
  }
  writeFile(path, text);
}

// The next side length, aimed at a run of kTargetLength given that `side`
// took `length`; rows grow with its square.
std::size_t grow(std::size_t side, Seconds length) {
  const double factor = std::sqrt(kTargetLength / std::max(length, Seconds(0.01)));
  return static_cast<std::size_t>(static_cast<double>(side) * std::clamp(factor, 1.3, 4.0));
}

// Runs `natjoin database /dev/null` with standard input empty, standard
// output into `stdoutPath` and standard error on `stderrFd`. If `terminal` is
// a pseudo-terminal's master side, everything arriving on it is collected
// until the child has closed its side.
TimedRun runTimed(const std::string& database, const std::string& stdoutPath, int stderrFd,
                  int terminal) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0) ::_exit(126);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(stderrFd, STDERR_FILENO);
    std::string program = NATJOIN_BINARY;
    std::string databaseArg = database;
    std::string outputArg = "/dev/null";
    char* argv[] = {program.data(), databaseArg.data(), outputArg.data(), nullptr};
    ::execv(program.c_str(), argv);
    ::_exit(127);
  }
  TimedRun run;
  if (terminal >= 0) {
    ::close(stderrFd);  // else the terminal never reports the child's end
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(terminal, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // EIO on Linux once no one has the other side open
      run.terminal.append(chunk, static_cast<std::size_t>(n));
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.length = std::chrono::steady_clock::now() - start;
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

// Opens a new pseudo-terminal; its master side is closed on exec, so only the
// child's standard error keeps the other side open.
void openTerminal(int& master, int& slave) {
  master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::fcntl(master, F_SETFD, FD_CLOEXEC), 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const char* name = ::ptsname(master);
  ASSERT_NE(name, nullptr);
  slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
}

// One drawing of the progress line.
struct Drawn {
  bool complete = false;  // all fields were found
  unsigned percent = 0;
  unsigned long long rows = 0;
  double megabytes = 0;
};

// The drawings of the line in what reached the terminal, in order.
std::vector<Drawn> drawnLines(const std::string& terminal) {
  std::vector<Drawn> lines;
  const std::string kStart = std::string(kErase) + "natjoin: ";
  for (std::size_t at = terminal.find(kStart); at != std::string::npos;
       at = terminal.find(kStart, at + 1)) {
    Drawn line;
    unsigned minutes = 0;
    unsigned seconds = 0;
    line.complete =
        std::sscanf(terminal.c_str() + at + kStart.size(), "%u%% %llu rows %lf MB %u:%u",
                    &line.percent, &line.rows, &line.megabytes, &minutes, &seconds) == 5;
    lines.push_back(line);
  }
  return lines;
}

std::string visible(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\033') {
      shown += "\\e";
    } else {
      shown += c;
    }
  }
  return shown;
}

TEST(Progress, LongRunAtATerminalShowsALineAndErasesIt) {
  TempDir dir;
  std::size_t side = kStartSide;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    writeCrossProduct(dir.file("db.txt"), side);
    int master = -1;
    int slave = -1;
    openTerminal(master, slave);
    if (HasFatalFailure()) return;
    const TimedRun run = runTimed(dir.file("db.txt"), dir.file("stdout.txt"), slave, master);
    ::close(master);
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir.file("stdout.txt")), "");
    if (run.length < kClearlyShort) {
      EXPECT_EQ(run.terminal, "") << "a run of " << run.length.count() << " s";
    }
    if (run.length < kLongEnough) {
      side = grow(side, run.length);
      continue;
    }
    // One line, redrawn in place: never a line feed; the share of the outer
    // loop, the rows and the bytes so far, growing; and the erasing last.
    const std::string& shown = run.terminal;
    EXPECT_EQ(shown.find('\n'), std::string::npos) << visible(shown);
    const std::vector<Drawn> lines = drawnLines(shown);
    ASSERT_FALSE(lines.empty()) << visible(shown);
    for (std::size_t lineIdx = 0; lineIdx < lines.size(); ++lineIdx) {
      const Drawn& line = lines[lineIdx];
      ASSERT_TRUE(line.complete) << visible(shown);
      EXPECT_LE(line.percent, 100u);
      if (lineIdx > 0) {
        EXPECT_GE(line.percent, lines[lineIdx - 1].percent) << visible(shown);
        EXPECT_GE(line.rows, lines[lineIdx - 1].rows) << visible(shown);
      }
    }
    // A second in, a cross product that lasts a few seconds is well under way.
    EXPECT_GT(lines.back().percent, 0u) << visible(shown);
    EXPECT_GT(lines.back().rows, 0u) << visible(shown);
    EXPECT_GT(lines.back().megabytes, 0.0) << visible(shown);
    ASSERT_GE(shown.size(), sizeof kErase - 1);
    EXPECT_EQ(shown.substr(shown.size() - (sizeof kErase - 1)), kErase) << visible(shown);
    return;
  }
  FAIL() << "no run lasted " << kLongEnough.count() << " s";
}

TEST(Progress, LongRunWithoutATerminalWritesNothing) {
  TempDir dir;
  std::size_t side = kStartSide;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    writeCrossProduct(dir.file("db.txt"), side);
    const int stderrFile =
        ::open(dir.file("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(stderrFile, 0);
    const TimedRun run = runTimed(dir.file("db.txt"), dir.file("stdout.txt"), stderrFile, -1);
    ::close(stderrFile);
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir.file("stdout.txt")), "");
    EXPECT_EQ(readFile(dir.file("stderr.txt")), "");
    if (run.length >= kLongEnough) return;
    side = grow(side, run.length);
  }
  FAIL() << "no run lasted " << kLongEnough.count() << " s";
}

}  // namespace
}  // namespace natjoin::test
