// Runs the fuzz targets inside the test command: each target over every file of its seed corpus, then
// over inputs mutated from the corpus by a seeded generator (bit flips, byte changes, insertions and
// erasures, truncation, splices of two inputs, tweaks of 16- and 32-bit length fields), bounded by a
// number of iterations and by time. Faults show in the sanitizer build; a broken invariant aborts.
//
// Environment: MOVRI_FUZZ_SECONDS (time per target, default 2), MOVRI_FUZZ_ITERATIONS (default
// 200000), MOVRI_FUZZ_SEED (default 1), MOVRI_FUZZ_INPUT (run one file through every target selected
// with --gtest_filter, nothing else). The input being run when the process dies is written to
// fuzz-crash-<target> in the working directory.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "tests/fuzz/fuzz_target.hpp"

extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace tests::fuzz {

namespace {

using bytes_t = std::vector<std::uint8_t>;

// The input under test, for the crash report.
std::string crash_file;
const std::uint8_t *current_data = nullptr;
std::size_t current_size = 0;

void save_current_input() {
  if (!current_data || crash_file.empty()) return;
  const int fd = ::open(crash_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::size_t done = 0;
  while (done < current_size) {
    const ssize_t n = ::write(fd, current_data + done, current_size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  const std::string note = "fuzz: the failing input is in " + crash_file + "\n";
  (void)!::write(2, note.data(), note.size());
}

// A broken invariant (abort) or a fault outside the sanitizers: save the input, then die as before.
void on_fatal_signal(int signal) {
  save_current_input();
  ::raise(signal);
}

void install_crash_handlers() {
  static const bool installed = [] {
    // Under the sanitizers faults are theirs to report; they call back before the process ends.
    const bool sanitized = __sanitizer_set_death_callback != nullptr;
    if (sanitized) __sanitizer_set_death_callback(save_current_input);
    // An own stack for the handler, so that a stack overflow is reported too.
    static std::unique_ptr<char[]> alternate(new char[1 << 16]);
    stack_t stack{};
    stack.ss_sp = alternate.get();
    stack.ss_size = 1 << 16;
    ::sigaltstack(&stack, nullptr);
    for (int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE}) {
      if (sanitized && signal != SIGABRT) continue;
      struct sigaction action {};
      action.sa_handler = on_fatal_signal;
      action.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
      ::sigaction(signal, &action, nullptr);
    }
    std::set_terminate([] {
      save_current_input();
      std::abort();
    });
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

// Runs one input from an exactly sized heap copy, so that reading past its end is caught.
void run_one(entry_t entry, const bytes_t &input) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[input.size()]);
  if (!input.empty()) std::memcpy(copy.get(), input.data(), input.size());
  current_data = copy.get();
  current_size = input.size();
  try {
    entry(copy.get(), input.size());
  } catch (...) {
    // A target lets only unexpected exceptions escape.
    save_current_input();
    throw;
  }
  current_data = nullptr;
  current_size = 0;
}

class mutator_t {
public:
  mutator_t(std::uint64_t seed, const std::vector<bytes_t> &corpus) : rng_(seed), corpus_(corpus) {}

  bytes_t next() {
    bytes_t input = corpus_[below(corpus_.size())];
    const std::size_t rounds = 1 + below(4) + (below(8) == 0 ? below(12) : 0);
    for (std::size_t i = 0; i < rounds; ++i) mutate(input);
    if (input.size() > max_size) input.resize(max_size);
    return input;
  }

private:
  static constexpr std::size_t max_size = 1 << 16;

  std::size_t below(std::size_t bound) { return bound ? static_cast<std::size_t>(rng_() % bound) : 0; }

  std::uint32_t interesting(std::size_t input_size) {
    static constexpr std::uint32_t values[] = {0,      1,          2,          3,          4,         7,
                                               8,      15,         16,         20,         31,        32,
                                               36,     40,         63,         64,         0x7F,      0x80,
                                               0xFF,   0x100,      0x7FFF,     0x8000,     0xFFFF,    0x10000,
                                               0x4000000, 0x4000001, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    const std::size_t pick = below(std::size(values) + 3);
    if (pick < std::size(values)) return values[pick];
    // Around the input's own size, where length fields run out.
    return static_cast<std::uint32_t>(input_size + pick - std::size(values)) - 1;
  }

  void put(bytes_t &input, std::size_t at, std::uint32_t value, std::size_t width, bool big_endian) {
    for (std::size_t i = 0; i < width && at + i < input.size(); ++i) {
      const std::size_t shift = 8 * (big_endian ? width - 1 - i : i);
      input[at + i] = static_cast<std::uint8_t>(value >> shift);
    }
  }

  std::uint32_t get(const bytes_t &input, std::size_t at, std::size_t width, bool big_endian) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width && at + i < input.size(); ++i) {
      const std::size_t shift = 8 * (big_endian ? width - 1 - i : i);
      value |= std::uint32_t{input[at + i]} << shift;
    }
    return value;
  }

  void mutate(bytes_t &input) {
    const bytes_t &other = corpus_[below(corpus_.size())];
    switch (below(input.empty() ? 2 : 9)) {
    case 0: { // insert random bytes
      const std::size_t at = below(input.size() + 1);
      bytes_t bytes(1 + below(below(8) == 0 ? 64 : 4));
      for (auto &b : bytes) b = static_cast<std::uint8_t>(rng_());
      input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
      break;
    }
    case 1: { // splice: this input's head, another's tail
      const std::size_t head = below(input.size() + 1);
      const std::size_t tail = below(other.size() + 1);
      input.resize(head);
      input.insert(input.end(), other.begin() + static_cast<std::ptrdiff_t>(tail), other.end());
      break;
    }
    case 2: // flip a bit
      input[below(input.size())] ^= static_cast<std::uint8_t>(1u << below(8));
      break;
    case 3: // a random or interesting byte
      input[below(input.size())] = static_cast<std::uint8_t>(below(2) ? rng_() : interesting(input.size()));
      break;
    case 4: { // erase a range
      const std::size_t at = below(input.size());
      const std::size_t count = 1 + below(std::min<std::size_t>(input.size() - at, below(4) == 0 ? 256 : 8));
      input.erase(input.begin() + static_cast<std::ptrdiff_t>(at), input.begin() + static_cast<std::ptrdiff_t>(at + count));
      break;
    }
    case 5: // truncate
      input.resize(below(input.size()));
      break;
    case 6: // a 16- or 32-bit field set to an interesting value, either byte order, often aligned
    case 7: {
      const std::size_t width = below(2) ? 2 : 4;
      std::size_t at = below(input.size());
      if (below(2)) at &= ~std::size_t{width - 1};
      put(input, at, interesting(input.size()), width, below(4) == 0);
      break;
    }
    default: { // a length field nudged by a little
      const std::size_t width = below(2) ? 2 : 4;
      const std::size_t at = below(input.size()) & ~std::size_t{below(2) ? width - 1 : 0};
      const bool big_endian = below(4) == 0;
      const auto delta = static_cast<std::int32_t>(below(17)) - 8;
      put(input, at, get(input, at, width, big_endian) + static_cast<std::uint32_t>(delta), width, big_endian);
      break;
    }
    }
  }

  std::mt19937_64 rng_;
  const std::vector<bytes_t> &corpus_;
};

} // namespace

void run(const char *name, entry_t entry) {
  install_crash_handlers();
  crash_file = std::string("fuzz-crash-") + name;

  if (const char *single = std::getenv("MOVRI_FUZZ_INPUT"); single && *single) {
    run_one(entry, read_file(single));
    return;
  }

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

  const auto seconds = env_number("MOVRI_FUZZ_SECONDS", 2);
  const auto iterations = env_number("MOVRI_FUZZ_ITERATIONS", 200000);
  const auto seed = env_number("MOVRI_FUZZ_SEED", 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  mutator_t mutator(seed * 0x9e3779b97f4a7c15u ^ std::hash<std::string>()(name), corpus);
  unsigned long done = 0;
  while (done < iterations && std::chrono::steady_clock::now() < deadline) {
    run_one(entry, mutator.next());
    ++done;
  }
  ::testing::Test::RecordProperty("iterations", static_cast<int>(done));
  std::printf("fuzz %s: %zu seed inputs, %lu mutated inputs (seed %lu)\n", name, corpus.size(), done, seed);
}

} // namespace tests::fuzz
