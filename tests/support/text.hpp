#pragma once

#include <cstddef>
#include <string>

namespace tests {

// How often `what` occurs in `text` (overlapping occurrences count).
inline std::size_t count(const std::string &text, const std::string &what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

} // namespace tests
