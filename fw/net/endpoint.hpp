#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include <boost/asio/ip/tcp.hpp>

namespace fw::net {

// An IPv4 or IPv6 address and a TCP port.
using endpoint_t = boost::asio::ip::tcp::endpoint;

// Dotted address, ":" and the decimal port; an IPv6 address in brackets: [fd00::1]:80.
std::string to_string(const endpoint_t &endpoint);

// One TCP connection as the daemon sees it: the endpoint that opened it and the endpoint it was meant
// for. Keys order by client, then server (address, then port).
struct connection_key_t {
  endpoint_t client;
  endpoint_t server;

  friend bool operator<(const connection_key_t &a, const connection_key_t &b) {
    return std::tie(a.client, a.server) < std::tie(b.client, b.server);
  }
  friend bool operator==(const connection_key_t &a, const connection_key_t &b) {
    return a.client == b.client && a.server == b.server;
  }
};

// A numeric IPv4 or IPv6 address and a port; nothing when the address does not parse.
std::optional<endpoint_t> parse_endpoint(const char *address, std::uint16_t port);

// client + " -> " + server.
std::string to_string(const connection_key_t &key);

} // namespace fw::net
