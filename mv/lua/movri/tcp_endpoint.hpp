#pragma once

#include <cstdint>

#include <boost/asio/ip/tcp.hpp>

#include "mv/lua/lua.hpp"

namespace mv::lua::movri {

// The value behind a Lua TCP endpoint: `ep.ip` gives the IpAddress (the same userdata each time),
// `ep.port` the port as a float number; tostring gives "address:port" ("[address]:port" for IPv6);
// concatenation works as for IpAddress.
struct tcp_endpoint_t {
  int address_ref = LUA_NOREF; // registry reference to the IpAddress userdata
  std::uint16_t port = 0;

  // Registers "mv.lua.movri.tcp_endpoint_metatable". Raises Lua errors.
  static void register_metatable(lua_State *L);
};

// Pushes a new endpoint userdata. Raises Lua errors (memory).
void push_tcp_endpoint(lua_State *L, const boost::asio::ip::tcp::endpoint &endpoint);
// The endpoint at index, or null when the value is none.
const tcp_endpoint_t *to_tcp_endpoint(lua_State *L, int index) noexcept;

} // namespace mv::lua::movri
