// The security option walk and the connector's comparison of two options. Input: one byte splitting
// the rest into two option areas.

#include <cstring>
#include <memory>

#include "fw/net/security_option.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"

namespace {

// Exactly the area's bytes, so that reading beyond them is caught.
struct area_t {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size;
  area_t(const std::uint8_t *data, std::size_t n) : bytes(new std::uint8_t[n ? n : 1]), size(n) {
    if (n) std::memcpy(bytes.get(), data, n);
  }
  const std::uint8_t *find() const {
    const std::uint8_t *option = fw::net::find_security_option(bytes.get(), size);
    if (option) {
      // Inside the area, whole, and of the right type.
      FUZZ_CHECK(option >= bytes.get() && option < bytes.get() + size);
      FUZZ_CHECK(option[0] == fw::net::security_option_type);
      const std::size_t length = fw::net::option_length(option);
      FUZZ_CHECK(length >= 2 && length <= static_cast<std::size_t>(bytes.get() + size - option));
    }
    return option;
  }
};

} // namespace

FUZZ_TARGET(security_option)(const std::uint8_t *data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t split = std::min<std::size_t>(data[0], size - 1);
  const area_t a(data + 1, split), b(data + 1 + split, size - 1 - split);
  const std::uint8_t *x = a.find();
  const std::uint8_t *y = b.find();
  FUZZ_CHECK(fw::net::security_options_match(x, x));
  FUZZ_CHECK(fw::net::security_options_match(x, y) == fw::net::security_options_match(y, x));
  FUZZ_CHECK(fw::net::security_options_match(x, nullptr) ==
             fw::net::security_options_match(x, fw::net::default_security_option));
  return 0;
}
