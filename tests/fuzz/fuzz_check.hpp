#pragma once
// A failed check in a fuzz target: one line on standard error, then abort(), which libFuzzer and
// the corpus replay both report as a crash of the input.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                    \
  do {                                                                                           \
    if (!(condition)) {                                                                          \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);         \
      std::abort();                                                                              \
    }                                                                                            \
  } while (false)
