#pragma once

#include <arpa/inet.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <sys/socket.h>

#include "fw/net/endpoint.hpp"
#include "fw/util/service.hpp"
#include "mv/util/exceptions.hpp"

#include "fw/service/kernel/marks.hpp"
#include "fw/util/configuration.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/error_text.hpp"

namespace tests {

// A configuration with the manual marks local delivery 1, client packets 2, server packets 4 and no
// divert direction, so that the marks service settles them without reading any kernel table.
inline fw::configuration_t config_with_marks() {
  fw::configuration_t config;
  config.mutable_local_delivery_mark()->set_manual(1);
  config.mutable_client_packets_mark()->set_manual(2);
  config.mutable_server_packets_mark()->set_manual(4);
  return config;
}

inline void set_listen_address(fw::configuration_t &config, const std::string &address, std::uint32_t port) {
  config.mutable_tproxy_listen_address()->set_address(address);
  config.mutable_tproxy_listen_address()->set_port(port);
}

// Runs the loop until the condition holds; gives up after a generous bound so that a fault fails the
// test instead of hanging it.
inline bool run_until(boost::asio::io_context &io, const std::function<bool()> &done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    io.restart();
    io.run_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Waits until the descriptor is readable (or writable); false after the generous bound.
inline bool wait_for(int fd, short events) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, 10000) == 1;
}

inline std::uint32_t ipv4(const char *text) {
  in_addr a{};
  ::inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

// Packet count of a rule of a chain (1 for the first), as iptables-legacy lists it.
inline std::uint64_t rule_packets(const std::string &chain, int rule = 1) {
  const std::string listing =
      shell("iptables-legacy -L " + chain + " -v -x -n | sed -n " + std::to_string(rule + 2) + "p");
  return std::stoull(listing.substr(listing.find_first_not_of(' ')));
}

inline fw::net::endpoint_t ep(const char *address, unsigned short port) {
  return fw::net::endpoint_t(boost::asio::ip::make_address_v4(address), port);
}

// The local (or peer) endpoint of a socket; unspecified when the socket has none.
inline fw::net::endpoint_t endpoint_of(int fd, bool peer = false) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  if ((peer ? ::getpeername : ::getsockname)(fd, reinterpret_cast<sockaddr *>(&a), &size) != 0) return {};
  return fw::net::endpoint_t(boost::asio::ip::address_v4(ntohl(a.sin_addr.s_addr)), ntohs(a.sin_port));
}

// The message of what start() raised, or "" when it succeeded.
inline std::string start_error(fw::util::service_t &service) {
  return error_text([&] { service.start(); }, "");
}

} // namespace tests
