#pragma once

#include <string_view>

#include "mv/lua/movri/ip_address.hpp"

namespace mv::lua::movri {

// A subnet of IpAddress.belongs: an address and a prefix length.
struct subnet_t {
  ip_address_t address;
  unsigned prefix = 0;

  // Parses "address", "address/prefix" or, for IPv4 only, "address/dotted-netmask" (contiguous ones
  // then zeros) for the given version. Without a prefix the subnet is the single address.
  static bool parse(std::string_view text, std::uint8_t version, subnet_t &subnet) noexcept;

  // Whether the first prefix bits of the address equal the subnet's (the subnet's host bits need not be
  // clear; prefix 0 holds every address of the version).
  bool contains(const ip_address_t &address) const noexcept;
};

} // namespace mv::lua::movri
