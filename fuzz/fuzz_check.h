// The check every fuzz target uses for its invariants: on failure it prints
// what broke and aborts, which libFuzzer reports as a crash (keeping the input)
// and the replay main turns into a nonzero exit status.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                         \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", __FILE__, __LINE__, what); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)
