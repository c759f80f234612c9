#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "mv/log/log.hpp"

namespace fw::util {

// Keeps a fault that can repeat once per packet or connection from flooding the log: at most one line
// per period. Occurrences in between are only counted; the next line written says how many it stands
// for. Event-loop thread only.
class log_throttle_t {
public:
  static constexpr std::chrono::seconds default_period{5};

  explicit log_throttle_t(std::chrono::steady_clock::duration period = default_period) noexcept : period_(period) {}

  // One occurrence. text() builds the line and is called only when a line is written.
  template <class Text>
  void log(int level, const Text &text, std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now()) {
    if (!mv::log::enabled(level)) return;
    if (written_ && now - last_ < period_) {
      ++suppressed_;
      return;
    }
    std::string line = text();
    if (suppressed_ > 0) line += " (" + std::to_string(suppressed_) + " more since the last report)";
    mv::log::log(level, line);
    written_ = true;
    last_ = now;
    suppressed_ = 0;
  }

  std::uint64_t suppressed() const noexcept { return suppressed_; }

private:
  std::chrono::steady_clock::duration period_;
  bool written_ = false;
  std::chrono::steady_clock::time_point last_{};
  std::uint64_t suppressed_ = 0;
};

} // namespace fw::util
