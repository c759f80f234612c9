#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fw/net/endpoint.hpp"

namespace fw::lua::intercept {

// What the diverter knows of an intercepted connection when it opens a session.
struct connection_info_t {
  fw::net::endpoint_t src; // client side
  fw::net::endpoint_t dst; // server side
  std::string divert;      // "input", "output" or "forward"
  std::optional<std::uint32_t> iface_in;
  std::optional<std::uint32_t> iface_out;
  std::optional<std::uint32_t> uid; // owner of the local socket, when the kernel reported it
  std::optional<std::uint32_t> gid;
};

} // namespace fw::lua::intercept
