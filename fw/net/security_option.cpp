#include "fw/net/security_option.hpp"

#include <cstring>

namespace fw::net {

const std::uint8_t *find_security_option(const std::uint8_t *options, std::size_t length) {
  const std::uint8_t *found = nullptr;
  std::size_t at = 0;
  while (at < length) {
    const std::uint8_t type = options[at];
    if (type == 0) break;
    if (type == 1) {
      ++at;
      continue;
    }
    if (at + 1 >= length) return nullptr;
    const std::size_t size = options[at + 1];
    if (size < 2 || size > length - at) return nullptr;
    if (type == security_option_type) {
      if (found) return nullptr;
      found = options + at;
    }
    at += size;
  }
  return found;
}

std::size_t option_length(const std::uint8_t *option) {
  if (!option) return 0;
  if (option[0] == 0 || option[0] == 1) return 1;
  return option[1];
}

bool security_options_match(const std::uint8_t *a, const std::uint8_t *b) {
  if (!a) a = default_security_option;
  if (!b) b = default_security_option;
  const std::size_t length = option_length(a);
  return length == option_length(b) && std::memcmp(a, b, length) == 0;
}

} // namespace fw::net
