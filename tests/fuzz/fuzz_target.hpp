#pragma once

// FUZZ_TARGET(name)(const std::uint8_t *data, std::size_t size) { ...; return 0; } in
// tests/fuzz/<name>_fuzz.cpp, seeds in tests/fuzz/corpus/<name>/: LLVMFuzzerTestOneInput for libFuzzer
// (MOVRI_LIBFUZZER), a test case over the corpus and a bounded mutation loop in the test program. A
// target catches the failures its parser declares and aborts on a broken invariant.

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
