// A check for the fuzz targets: unlike assert() it stays on in the optimised
// builds the fuzzer runs, and it aborts so that libFuzzer records the input.
#ifndef NATJOIN_FUZZ_FUZZ_CHECK_H_
#define NATJOIN_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define NATJOIN_FUZZ_CHECK(condition)                                                    \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

#endif  // NATJOIN_FUZZ_FUZZ_CHECK_H_
