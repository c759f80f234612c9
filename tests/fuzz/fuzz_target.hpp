#pragma once

// A fuzz target is one function over an input of any bytes, written as
//
//   FUZZ_TARGET(name)(const std::uint8_t *data, std::size_t size) { ...; return 0; }
//
// in tests/fuzz/<name>_fuzz.cpp, with seed inputs in tests/fuzz/corpus/<name>/. Built for libFuzzer
// (MOVRI_LIBFUZZER) the macro names the function LLVMFuzzerTestOneInput; built into the test program
// (MOVRI_FUZZ_DRIVER) it becomes a test case that runs the seed corpus and a bounded mutation loop.
// A target catches the failures its parser declares for malformed input and lets anything else
// escape; it aborts on a broken invariant, so that both drivers report the input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef MOVRI_FUZZ_DRIVER
#include <gtest/gtest.h>

namespace tests::fuzz {
using entry_t = int (*)(const std::uint8_t *, std::size_t);
// Runs the target over its corpus and the mutation loop (tests/fuzz/fuzz_test.cpp).
void run(const char *name, entry_t entry);
} // namespace tests::fuzz

#define FUZZ_TARGET(name)                                                                          \
  static int movri_fuzz_##name(const std::uint8_t *, std::size_t);                                 \
  TEST(Fuzz, name) { ::tests::fuzz::run(#name, &movri_fuzz_##name); }                              \
  static int movri_fuzz_##name
#else
#define FUZZ_TARGET(name) extern "C" int LLVMFuzzerTestOneInput
#endif

// Stops at a broken invariant; both drivers then keep the input.
#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", __FILE__, __LINE__, #condition);  \
      std::abort();                                                                                \
    }                                                                                              \
  } while (0)
