#pragma once

namespace fw::lua::intercept {

// What becomes of an intercepted connection. Check is the fallback for every failure.
enum class verdict_t : int { check = 0, pass = 1, drop = 2, reject = 3 };

// "CHECK", "PASS", "DROP", "REJECT".
constexpr const char *log_word(verdict_t verdict) noexcept {
  switch (verdict) {
  case verdict_t::pass:
    return "PASS";
  case verdict_t::drop:
    return "DROP";
  case verdict_t::reject:
    return "REJECT";
  case verdict_t::check:
    break;
  }
  return "CHECK";
}

} // namespace fw::lua::intercept
