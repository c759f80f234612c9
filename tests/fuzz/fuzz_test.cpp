// Runs each fuzz target over its seed corpus, then over inputs mutated from it by a seeded generator,
// bounded by MOVRI_FUZZ_ITERATIONS (200000) and MOVRI_FUZZ_SECONDS (2) per target; MOVRI_FUZZ_SEED (1).
// MOVRI_FUZZ_INPUT runs one file through the selected targets only. The input being run when the
// process dies is written to fuzz-crash-<target> in the working directory.

#include <signal.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>

#include <boost/filesystem.hpp>

#include "tests/fuzz/fuzz_target.hpp"

extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace tests::fuzz {

namespace {

using bytes_t = std::vector<std::uint8_t>;

std::string crash_file;
const std::uint8_t *current_data = nullptr;
std::size_t current_size = 0;

void save_current_input() {
  if (!current_data || crash_file.empty()) return;
  std::ofstream(crash_file, std::ios::binary).write(reinterpret_cast<const char *>(current_data), current_size);
  std::fprintf(stderr, "fuzz: the failing input is in %s\n", crash_file.c_str());
}

void install_crash_handlers() {
  static const bool installed = [] {
    // Under the sanitizers faults are theirs to report; they call back before the process ends.
    const bool sanitized = __sanitizer_set_death_callback != nullptr;
    if (sanitized) __sanitizer_set_death_callback(save_current_input);
    static std::unique_ptr<char[]> alternate(new char[1 << 16]); // so that a stack overflow is reported
    stack_t stack{};
    stack.ss_sp = alternate.get();
    stack.ss_size = 1 << 16;
    ::sigaltstack(&stack, nullptr);
    for (int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE}) {
      if (sanitized && signal != SIGABRT) continue;
      struct sigaction action {};
      action.sa_handler = [](int signal) { save_current_input(), ::raise(signal); };
      action.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
      ::sigaction(signal, &action, nullptr);
    }
    std::set_terminate([] { save_current_input(), std::abort(); });
    return true;
  }();
  (void)installed;
}

unsigned long env_number(const char *name, unsigned long fallback) {
  const char *value = std::getenv(name);
  return value && *value ? std::strtoul(value, nullptr, 10) : fallback;
}

bytes_t read_file(const boost::filesystem::path &path) {
  std::ifstream in(path.string(), std::ios::binary);
  return bytes_t(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs one input from an exactly sized heap copy, so that reading past its end is caught. A target
// lets only unexpected exceptions escape.
void run_one(entry_t entry, const bytes_t &input) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[input.size()]);
  std::copy(input.begin(), input.end(), copy.get());
  current_data = copy.get();
  current_size = input.size();
  try {
    entry(copy.get(), input.size());
  } catch (...) {
    save_current_input();
    throw;
  }
  current_data = nullptr;
}

class mutator_t {
public:
  mutator_t(std::uint64_t seed, const std::vector<bytes_t> &corpus) : rng_(seed), corpus_(corpus) {}

  bytes_t next() {
    bytes_t input = corpus_[below(corpus_.size())];
    for (std::size_t i = 1 + below(4) + (below(8) == 0 ? below(12) : 0); i > 0; --i) mutate(input);
    input.resize(std::min<std::size_t>(input.size(), 1 << 16));
    return input;
  }

private:
  std::size_t below(std::size_t bound) { return bound ? static_cast<std::size_t>(rng_() % bound) : 0; }
  std::ptrdiff_t at(std::size_t bound) { return static_cast<std::ptrdiff_t>(below(bound)); }

  // Boundaries of sizes and lengths, and the input's own size, where length fields run out.
  std::uint32_t interesting(std::size_t input_size) {
    static constexpr std::uint32_t values[] = {0,    1,      2,      3,      4,       7,         8,         15,
                                               16,   20,     31,     32,     36,      40,        63,        64,
                                               0x7F, 0x80,   0xFF,   0x100,  0x7FFF,  0x8000,    0xFFFF,    0x10000,
                                               0x4000000, 0x4000001, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    const std::size_t pick = below(std::size(values) + 3);
    return pick < std::size(values) ? values[pick]
                                    : static_cast<std::uint32_t>(input_size + pick - std::size(values)) - 1;
  }

  // A 16- or 32-bit field at a random, often aligned, offset in either byte order: set or nudged.
  void field(bytes_t &input, bool nudge) {
    const std::size_t width = below(2) ? 2 : 4;
    const std::size_t offset = below(input.size()) & ~std::size_t{below(2) ? width - 1 : 0};
    const bool big_endian = below(4) == 0;
    const auto shift = [&](std::size_t i) { return 8 * (big_endian ? width - 1 - i : i); };
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width && offset + i < input.size(); ++i) value |= std::uint32_t{input[offset + i]} << shift(i);
    value = nudge ? value + static_cast<std::uint32_t>(static_cast<std::int32_t>(below(17)) - 8) : interesting(input.size());
    for (std::size_t i = 0; i < width && offset + i < input.size(); ++i)
      input[offset + i] = static_cast<std::uint8_t>(value >> shift(i));
  }

  void mutate(bytes_t &input) {
    const bytes_t &other = corpus_[below(corpus_.size())];
    switch (below(input.empty() ? 2 : 9)) {
    case 0: { // insert random bytes
      bytes_t bytes(1 + below(below(8) == 0 ? 64 : 4));
      for (auto &b : bytes) b = static_cast<std::uint8_t>(rng_());
      input.insert(input.begin() + at(input.size() + 1), bytes.begin(), bytes.end());
      break;
    }
    case 1: // splice: this input's head, another's tail
      input.resize(below(input.size() + 1));
      input.insert(input.end(), other.begin() + at(other.size() + 1), other.end());
      break;
    case 2: input[below(input.size())] ^= static_cast<std::uint8_t>(1u << below(8)); break;
    case 3: input[below(input.size())] = static_cast<std::uint8_t>(below(2) ? rng_() : interesting(input.size())); break;
    case 4: { // erase a range
      const std::size_t from = below(input.size());
      const std::size_t count = 1 + below(std::min<std::size_t>(input.size() - from, below(4) == 0 ? 256 : 8));
      input.erase(input.begin() + static_cast<std::ptrdiff_t>(from), input.begin() + static_cast<std::ptrdiff_t>(from + count));
      break;
    }
    case 5: input.resize(below(input.size())); break;
    case 6:
    case 7: field(input, false); break;
    default: field(input, true); break;
    }
  }

  std::mt19937_64 rng_;
  const std::vector<bytes_t> &corpus_;
};

} // namespace

void run(const char *name, entry_t entry) {
  install_crash_handlers();
  crash_file = std::string("fuzz-crash-") + name;
  if (const char *single = std::getenv("MOVRI_FUZZ_INPUT"); single && *single) return run_one(entry, read_file(single));

  namespace fs = boost::filesystem;
  const fs::path directory = fs::path(MOVRI_SOURCE_DIR) / "tests" / "fuzz" / "corpus" / name;
  std::vector<fs::path> files;
  if (fs::is_directory(directory))
    for (const auto &file : fs::directory_iterator(directory))
      if (fs::is_regular_file(file.path())) files.push_back(file.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << "no seed inputs in " << directory;
  std::vector<bytes_t> corpus;
  for (const auto &file : files) {
    corpus.push_back(read_file(file));
    SCOPED_TRACE(file.string());
    run_one(entry, corpus.back());
  }

  const auto iterations = env_number("MOVRI_FUZZ_ITERATIONS", 200000), seed = env_number("MOVRI_FUZZ_SEED", 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(env_number("MOVRI_FUZZ_SECONDS", 2));
  mutator_t mutator(seed * 0x9e3779b97f4a7c15u ^ std::hash<std::string>()(name), corpus);
  unsigned long done = 0;
  for (; done < iterations && std::chrono::steady_clock::now() < deadline; ++done) run_one(entry, mutator.next());
  std::printf("fuzz %s: %zu seed inputs, %lu mutated inputs (seed %lu)\n", name, corpus.size(), done, seed);
}

} // namespace tests::fuzz
