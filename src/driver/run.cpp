#include "driver/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>

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

}  // namespace

bool writeSections(OutputWriter& out, const JoinList& joinList, const Relations& relations) {
  echoDatabase(out, joinList, relations);
  if (out.failed()) return false;

  Operands operands;
  selectOperands(joinList, relations, operands);
  // The conditions follow from the attribute names; the join plans from the
  // names directly, since the list of condition pairs can be quadratic in
  // the number of operands.
  writeJoinResult(out, operands);
  out.flush();
  return !out.failed();
}

bool writeOutput(const char* path, const JoinList& joinList, const Relations& relations,
                 Progress* progress) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  FdSink sink(fd);
  bool ok = false;
  {
    OutputWriter out(sink);
    out.showProgress(progress);
    ok = writeSections(out, joinList, relations);
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
