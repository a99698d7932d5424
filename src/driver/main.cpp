#include <csignal>
#include <cstdio>
#include <new>

#include "driver/run.h"

int main(int argc, char** argv) {
  // A reader of the output that goes away must show as a failed write, not
  // end the process silently.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return natjoin::run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("natjoin: out of memory\n", stderr);
    return natjoin::kExitOutOfMemory;
  }
}
