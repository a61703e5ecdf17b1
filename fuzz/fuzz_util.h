// The check the fuzz targets share: a failed check prints itself and aborts,
// a crash libFuzzer records.

#ifndef MARROW_FUZZ_FUZZ_UTIL_H_
#define MARROW_FUZZ_FUZZ_UTIL_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                       \
  ((cond) ? (void)0                                                            \
          : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__,       \
                          __LINE__, #cond),                                    \
             std::abort()))

#endif  // MARROW_FUZZ_FUZZ_UTIL_H_
