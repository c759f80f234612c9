#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/ip/address.hpp>

#include "mv/lua/lua.hpp"

namespace mv::lua::movri {

// The value behind the Lua type IpAddress: tostring, concatenation, ==, & (mask) and a.belongs(subnets).
struct ip_address_t {
  static constexpr std::uint8_t v4 = 0;
  static constexpr std::uint8_t v6 = 1;
  // Room for the longest text form: an IPv6 address, "%" and a 32-bit scope id.
  static constexpr std::size_t text_size = 64;

  std::uint8_t version = v4;
  std::uint32_t ipv4 = 0; // host byte order
  std::array<std::uint8_t, 16> ipv6{};
  std::uint32_t scope_id = 0;

  static ip_address_t from(const boost::asio::ip::address &address) noexcept;
  boost::asio::ip::address to_address() const;

  // The standard text form (dotted quad; IPv6 with "%" and the scope id when that is not zero), written
  // NUL-terminated into text; returns its length.
  std::size_t format(char (&text)[text_size]) const noexcept;
  std::string to_string() const;

  // Same version and address; IPv6 also the same scope id.
  friend bool operator==(const ip_address_t &a, const ip_address_t &b) noexcept;

  // Registers "mv.lua.movri.ip_address_metatable". Raises Lua errors.
  static void register_metatable(lua_State *L);
};

// Pushes a new IpAddress. Raises Lua errors (memory).
void push_ip_address(lua_State *L, const ip_address_t &address);
void push_ip_address(lua_State *L, const boost::asio::ip::address &address);
// The IpAddress at index, or null when the value is none.
const ip_address_t *to_ip_address(lua_State *L, int index) noexcept;

// The __concat of a value with a text form (IpAddress, endpoint), called with that text pushed on top of
// the stack for the operand at `self` (1 or 2): a .. x gives the text of a followed by x, through x's
// own __concat when it has one; x .. a gives x followed by the text of a. Returns 1.
int concat_text(lua_State *L, int self);

// The Lua function ip(text).
int ip(lua_State *L);

} // namespace mv::lua::movri
