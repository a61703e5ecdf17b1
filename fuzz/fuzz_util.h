// The check the fuzz targets share.

#ifndef MARROW_FUZZ_FUZZ_UTIL_H_
#define MARROW_FUZZ_FUZZ_UTIL_H_

#include <cstdio>
#include <cstdlib>

namespace marrow::fuzz {

// A failed check: a message and a crash libFuzzer records.
#define FUZZ_CHECK(cond)                                                    \
  do {                                                                      \
    if (!(cond)) {                                                          \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                  \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

}  // namespace marrow::fuzz

#endif  // MARROW_FUZZ_FUZZ_UTIL_H_
