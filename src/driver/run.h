// The run of one natjoin process: `natjoin DATABASE OUTPUT` reads the
// database file whole, then writes the output file: the echo of the database
// followed by the join result.
//
// Failures are reported by one line on standard output and the exit status:
//   "3 parametert adjon meg!"            not exactly two arguments       2
//   "Hibas filenev."                     the database cannot be read     1
//   "Az output file nem hozhato letre."  the output cannot be written    1
// A database that cannot be read leaves the output file untouched.
//
// A run that lasts more than a second shows a progress line on standard
// error while it writes the join result, if standard error is a terminal
// (output/progress.h); the line is erased before the run ends.
#ifndef NATJOIN_DRIVER_RUN_H_
#define NATJOIN_DRIVER_RUN_H_

#include <functional>

#include "model/relation.h"
#include "output/progress.h"
#include "output/writer.h"

namespace natjoin {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitOutOfMemory = 3;

// Writes the whole output (echo, then planning and join) through `out` and
// flushes it. `clear`, where given, runs first, before the echo and on its
// thread; where it returns false nothing is written. Returns false if
// `clear` or a write failed.
bool writeSections(OutputWriter& out, const JoinList& joinList, const Relations& relations,
                   const std::function<bool()>& clear = nullptr);

// Creates or truncates the file `path` and writes the output into it,
// keeping `progress` (if not nullptr) up to date on the way. Returns false if
// the file cannot be opened, written in full or closed.
bool writeOutput(const char* path, const JoinList& joinList, const Relations& relations,
                 Progress* progress = nullptr);

// The whole run; returns the exit status. `argv` holds `argc` arguments,
// the program name first.
int run(int argc, const char* const* argv);

}  // namespace natjoin

#endif  // NATJOIN_DRIVER_RUN_H_
