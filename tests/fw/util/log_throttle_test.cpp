#include <gtest/gtest.h>

#include "fw/util/log_throttle.hpp"
#include "tests/support/log_capture.hpp"

namespace {

// One line per period; the next one counts the occurrences it left out.
TEST(LogThrottle, OneLinePerPeriodAndACountOfTheRest) {
  tests::log_capture_t log;
  fw::util::log_throttle_t throttle(std::chrono::seconds(5));
  const auto t0 = std::chrono::steady_clock::now();
  int built = 0;
  const auto text = [&] { return "fault " + std::to_string(++built); };
  throttle.log(mv::log::Warning, text, t0);
  throttle.log(mv::log::Warning, text, t0 + std::chrono::seconds(1));
  throttle.log(mv::log::Warning, text, t0 + std::chrono::milliseconds(4999));
  throttle.log(mv::log::Warning, text, t0 + std::chrono::seconds(5));
  throttle.log(mv::log::Warning, text, t0 + std::chrono::seconds(11));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Warning: fault 1", "Warning: fault 2 (2 more since the last report)",
                                                   "Warning: fault 3"}));
}

} // namespace
