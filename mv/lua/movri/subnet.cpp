#include "mv/lua/movri/subnet.hpp"

#include <bit>
#include <cstring>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>

namespace mv::lua::movri {

namespace {

// Copies text into a NUL-terminated buffer; false when it does not fit.
bool terminate(std::string_view text, char (&buffer)[ip_address_t::text_size]) noexcept {
  if (text.size() >= sizeof buffer) return false;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return true;
}

bool parse_address(std::string_view text, std::uint8_t version, ip_address_t &address) noexcept {
  char buffer[ip_address_t::text_size];
  if (!terminate(text, buffer)) return false;
  boost::system::error_code error;
  if (version == ip_address_t::v4) {
    const auto parsed = boost::asio::ip::make_address_v4(buffer, error);
    if (error) return false;
    address = ip_address_t::from(parsed);
  } else {
    const auto parsed = boost::asio::ip::make_address_v6(buffer, error);
    if (error) return false;
    address = ip_address_t::from(parsed);
  }
  return true;
}

// A decimal prefix length; false when the text is not a decimal number.
bool parse_decimal(std::string_view text, unsigned &value) noexcept {
  if (text.empty()) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 1000) value = 1000; // far beyond any prefix length; keeps the sum from overflowing
  }
  return true;
}

} // namespace

bool subnet_t::parse(std::string_view text, std::uint8_t version, subnet_t &subnet) noexcept {
  const unsigned bits = version == ip_address_t::v4 ? 32 : 128;
  const auto slash = text.find('/');
  if (!parse_address(text.substr(0, slash), version, subnet.address)) return false;
  if (slash == std::string_view::npos) {
    subnet.prefix = bits;
    return true;
  }
  const std::string_view rest = text.substr(slash + 1);
  if (rest.find('/') != std::string_view::npos) return false;
  if (parse_decimal(rest, subnet.prefix)) return subnet.prefix <= bits;
  if (version != ip_address_t::v4) return false;
  ip_address_t mask;
  if (!parse_address(rest, ip_address_t::v4, mask)) return false;
  // Contiguous ones then zeros: the inverted mask plus one is a power of two (or zero).
  const std::uint32_t inverted = ~mask.ipv4;
  if ((inverted & (inverted + 1)) != 0) return false;
  subnet.prefix = static_cast<unsigned>(std::popcount(mask.ipv4));
  return true;
}

bool subnet_t::contains(const ip_address_t &address) const noexcept {
  if (address.version != this->address.version) return false;
  if (address.version == ip_address_t::v4) {
    const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
    return (address.ipv4 & mask) == (this->address.ipv4 & mask);
  }
  const unsigned whole = prefix / 8;
  if (std::memcmp(address.ipv6.data(), this->address.ipv6.data(), whole) != 0) return false;
  if (const unsigned rest = prefix % 8; rest != 0) {
    const auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
    return (address.ipv6[whole] & mask) == (this->address.ipv6[whole] & mask);
  }
  return true;
}

} // namespace mv::lua::movri
