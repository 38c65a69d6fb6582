// A model mismatch in a fuzz target: say what differs and abort, so that
// libFuzzer keeps the input that led here as the reproducer.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                              \
  do {                                                                          \
    if (!(condition)) {                                                         \
      std::fprintf(stderr, "model mismatch at %s:%d: %s\n  ", __FILE__, __LINE__, \
                   #condition);                                                 \
      std::fprintf(stderr, __VA_ARGS__);                                        \
      std::fprintf(stderr, "\n");                                               \
      std::abort();                                                             \
    }                                                                           \
  } while (0)
