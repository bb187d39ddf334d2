// The fuzz targets' own checks: a failed one aborts, which libFuzzer reports
// as a crash with the input that caused it.
#ifndef RTSPPULL_FUZZ_CHECK_H_
#define RTSPPULL_FUZZ_CHECK_H_

#include <cstdlib>

inline void check(bool condition) {
  if (!condition) std::abort();
}

#endif  // RTSPPULL_FUZZ_CHECK_H_
