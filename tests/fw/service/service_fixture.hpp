#pragma once

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "fw/net/endpoint.hpp"
#include "fw/service/divert_queues.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/service/path/transparent_acceptor.hpp"
#include "fw/util/scoped_fd.hpp"
#include "fw/util/configuration.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/netns.hpp"

namespace tests {

// Stand-ins: mark sources that report no foreign marks, queues per direction (output, input, forward),
// and an acceptor delegate that takes no clients (one that comes fails the test).
struct no_sources_t : fw::service::marks_t::delegate_t {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> routing_marks() override { return {}; }
  std::optional<std::uint32_t> nftables_marks() override { return std::nullopt; }
};
struct fake_queues_t : fw::service::divert_queues_t {
  std::array<std::optional<std::uint16_t>, 3> queues;
  std::optional<std::uint16_t> queue_number(unsigned direction) const override {
    return direction < 3 ? queues[direction] : std::nullopt;
  }
};
struct no_clients_t : fw::service::transparent_acceptor_t::delegate_t {
  void new_client_socket(const fw::net::endpoint_t &, const fw::net::endpoint_t &, fw::util::scoped_fd_t) override {
    ADD_FAILURE() << "no client expected";
  }
};

// A configuration with the manual marks local delivery 1, client packets 2, server packets 4 and no
// divert direction, so that the marks service settles them without reading any kernel table.
inline fw::configuration_t config_with_marks() {
  fw::configuration_t config;
  config.mutable_local_delivery_mark()->set_manual(1);
  config.mutable_client_packets_mark()->set_manual(2);
  config.mutable_server_packets_mark()->set_manual(4);
  return config;
}

// A fresh network namespace with the marks of config_with_marks() settled, a log capture and a loop.
struct marks_test_t : testing::Test {
  void SetUp() override {
    enter_fresh_netns();
    if (!HasFatalFailure() && !IsSkipped()) marks.start();
  }
  log_capture_t log;
  fw::configuration_t config = config_with_marks();
  fw::service::marks_t marks{config};
  boost::asio::io_context io;
};

inline void set_listen_address(fw::configuration_t &config, const std::string &address, std::uint32_t port) {
  config.mutable_tproxy_listen_address()->set_address(address);
  config.mutable_tproxy_listen_address()->set_port(port);
}

// Runs the loop until the condition holds; false after a generous bound (a fault must not hang).
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

// A TCP socket listening at the address (IPv4 or IPv6).
inline int listen_at(const char *address, unsigned short port, int flags = 0) {
  const fw::net::endpoint_t at(boost::asio::ip::make_address(address), port);
  const int fd = ::socket(at.address().is_v4() ? AF_INET : AF_INET6, SOCK_STREAM | flags, 0);
  EXPECT_EQ(::bind(fd, at.data(), static_cast<socklen_t>(at.size())), 0) << std::strerror(errno);
  EXPECT_EQ(::listen(fd, 16), 0);
  return fd;
}

// A non-blocking socket whose connect to the address is under way; prepare sees it before.
inline int connecting(const char *address, unsigned short port, const std::function<void(int)> &prepare = {}) {
  const fw::net::endpoint_t to(boost::asio::ip::make_address(address), port);
  const int fd = ::socket(to.address().is_v4() ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (prepare) prepare(fd);
  EXPECT_EQ(::connect(fd, to.data(), static_cast<socklen_t>(to.size())), -1);
  return fd;
}

// The outcome of a non-blocking connect once it finished: 0 when connected (reading it clears it).
inline int connect_outcome(int fd, int timeout_ms = 10000) {
  pollfd p{fd, POLLOUT, 0};
  if (::poll(&p, 1, timeout_ms) != 1) return -1;
  int error = 0;
  socklen_t size = sizeof error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
  return error;
}

// A packet socket that sees every IPv4 (or IPv6) packet on lo before netfilter's input hooks.
inline int loopback_capture(bool ipv6 = false) {
  const std::uint16_t protocol = htons(ipv6 ? ETH_P_IPV6 : ETH_P_IP);
  const int fd = ::socket(AF_PACKET, SOCK_DGRAM, protocol);
  sockaddr_ll at{};
  at.sll_family = AF_PACKET;
  at.sll_protocol = protocol;
  at.sll_ifindex = static_cast<int>(::if_nametoindex("lo"));
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0) << std::strerror(errno);
  return fd;
}

// Reads the capture until an IPv4 or IPv6 SYN to the port comes: its length, 0 when none comes.
inline std::size_t receive_syn(int capture, unsigned short port, std::uint8_t (&packet)[120]) {
  for (;;) {
    if (!wait_for(capture, POLLIN)) return 0;
    const ssize_t n = ::recv(capture, packet, sizeof packet, 0);
    const bool v6 = packet[0] >> 4 == 6;
    const std::size_t header = v6 ? 40 : (packet[0] & 0x0f) * 4u;
    const std::uint8_t *tcp = packet + header;
    if (n >= static_cast<ssize_t>(header + 20) && packet[v6 ? 6 : 9] == IPPROTO_TCP && (tcp[2] << 8 | tcp[3]) == port &&
        tcp[13] == 0x02)
      return static_cast<std::size_t>(n);
  }
}

} // namespace tests
