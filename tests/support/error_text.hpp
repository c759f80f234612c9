#pragma once

#include <exception>
#include <string>

#include "mv/util/exceptions.hpp"

namespace tests {

// The text of what f() throws, as the daemon would log it, or `none` when f() returns.
template <class F> std::string error_text(F &&f, const std::string &none = "(no exception)") {
  try {
    f();
  } catch (const std::exception &e) {
    return mv::util::exception_message(e);
  }
  return none;
}

// The text of a stored exception.
inline std::string text_of(const std::exception_ptr &error) {
  return error_text([&] { std::rethrow_exception(error); }, "(no exception)");
}

} // namespace tests
