#include "driver/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <system_error>
#include <thread>

#include "echo/echo.h"
#include "join/engine.h"
#include "join/planning.h"
#include "join/threads.h"
#include "output/progress.h"
#include "output/sinks.h"
#include "reader/database_file.h"

namespace natjoin {
namespace {

void say(const char* message) {
  std::fputs(message, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// A thread running `work`, or none where one thread is to be used or the
// system gives no other.
template <typename Work>
std::jthread startThread(Work& work) {
  if (threadCount() <= 1) return {};
  try {
    return std::jthread(std::ref(work));
  } catch (const std::system_error&) {
    return {};
  }
}

}  // namespace

bool writeSections(OutputWriter& out, const JoinList& joinList, const Relations& relations,
                   const std::function<bool()>& clear) {
  // The echo is copying only, and preparing the join writes nothing, so the
  // echo goes out on a thread of its own meanwhile; the result section
  // waits for it. On one thread, or where no other can be had, the echo is
  // written first.
  bool echoed = false;
  std::exception_ptr echoError;
  auto echo = [&] {
    try {
      if (clear && !clear()) return;
      echoDatabase(out, joinList, relations);
      echoed = !out.failed();
    } catch (...) {
      echoError = std::current_exception();
    }
  };
  std::jthread echoThread = startThread(echo);  // joined before `out` goes
  auto echoDone = [&] {
    if (echoThread.joinable()) echoThread.join();
    if (echoError) std::rethrow_exception(echoError);
    return echoed;
  };
  if (!echoThread.joinable()) {
    echo();
    if (!echoDone()) return false;
  }

  Operands operands;
  selectOperands(joinList, relations, operands);
  // The conditions follow from the attribute names; the join plans from the
  // names directly, since the list of condition pairs can be quadratic in
  // the number of operands.
  writeJoinResult(out, operands, echoDone);
  if (!echoDone()) return false;
  out.flush();
  return !out.failed();
}

bool writeOutput(const char* path, const JoinList& joinList, const Relations& relations,
                 Progress* progress) {
  // Not truncated here but by the thread that writes the echo: emptying a
  // large file takes a while, and the join can be prepared meanwhile. A
  // file that cannot be opened is still known at once.
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  // Devices and pipes have nothing to truncate, as O_TRUNC leaves them.
  auto clear = [&] { return !regular || ::ftruncate(fd, 0) == 0; };
  FdSink sink(fd);
  bool ok = false;
  {
    OutputWriter out(sink);
    out.showProgress(progress);
    ok = writeSections(out, joinList, relations, clear);
  }
  // A failed close can be the first report of a failed write (NFS, quotas).
  if (::close(fd) != 0) ok = false;
  return ok;
}

int run(int argc, const char* const* argv) {
  const auto start = std::chrono::steady_clock::now();
  if (argc != 3) {
    say("3 parametert adjon meg!");
    return kExitUsage;
  }
  // The database is read whole and closed before the output is opened, so
  // both arguments may name the same file.
  Database db;
  if (!readDatabaseFile(argv[1], db, threadCount())) {
    say("Hibas filenev.");
    return kExitFailure;
  }
  bool written = false;
  {
    // Only a person at a terminal wants the progress line; a log file or a
    // pipe would only collect its redrawings.
    std::optional<Progress> progress;
    if (::isatty(STDERR_FILENO) == 1) progress.emplace(STDERR_FILENO, start);
    written = writeOutput(argv[2], db.joinList, db.relations, progress ? &*progress : nullptr);
  }  // the line is erased here, before any message
  if (!written) {
    say("Az output file nem hozhato letre.");
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace natjoin
