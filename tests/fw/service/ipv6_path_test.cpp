// IPv6 on the data path, below the end-to-end runs of tests/scripts: where the TCP header of a queued
// IPv6 packet begins, and the reset and the retransmitted SYN judged by the kernel that receives them.
#include <gtest/gtest.h>

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "fw/net/ipv6_header.hpp"
#include "fw/net/raw_sender.hpp"
#include "fw/service/path/connection_rejector.hpp"
#include "fw/service/path/marking_retransmitter.hpp"
#include "fw/service/path/transparent_acceptor.hpp"
#include "tests/fw/service/service_fixture.hpp"
#include "tests/support/log_capture.hpp"

namespace {

using bytes_t = std::vector<std::uint8_t>;

// An IPv6 header with next header `next`, the extension headers, and 20 TCP bytes.
bytes_t ipv6_packet(std::uint8_t next, const bytes_t &extensions) {
  bytes_t b(40, 0);
  b[0] = 0x60, b[6] = next;
  b.insert(b.end(), extensions.begin(), extensions.end());
  b.resize(b.size() + 20, 0);
  return b;
}

TEST(Ipv6Header, TcpOffsetWalksOptionsHeadersOnly) {
  const bytes_t options8 = {6, 0, 1, 4, 0, 0, 0, 0};        // then TCP, 8 bytes
  const bytes_t options16 = {60, 1, 1, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; // then destination options
  const struct {
    bytes_t packet;
    std::size_t length; // 0: the whole packet
    std::size_t offset;
  } cases[] = {
      {ipv6_packet(6, {}), 0, 40},
      {ipv6_packet(0, options8), 0, 48},            // hop-by-hop options
      {ipv6_packet(60, options8), 0, 48},           // destination options
      {ipv6_packet(0, [&] { auto b = options16; b.insert(b.end(), options8.begin(), options8.end()); return b; }()), 0, 64},
      {ipv6_packet(43, options8), 0, 0},            // routing header: not walked
      {ipv6_packet(44, options8), 0, 0},            // fragment
      {ipv6_packet(17, {}), 0, 0},                  // UDP
      {ipv6_packet(0, options16), 50, 0},           // extension header cut short
      {ipv6_packet(6, {}), 39, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(fw::net::ipv6_header_t::tcp_offset(c.packet.data(), c.length ? c.length : c.packet.size()), c.offset)
        << c.packet.size() << " bytes, next header " << int(c.packet[6]);
  auto reset = ipv6_packet(6, {});
  reset[23] = 1, reset[39] = 2, reset[40] = 0x1f, reset[41] = 0x90, reset[43] = 80, reset[53] = 0x14;
  EXPECT_EQ(fw::net::raw_sender_t::describe(reset.data(), reset.size()), "TCP RST,ACK [::1]:8080 -> [::2]:80");
}

// A client on [::1] connects to the port; its SYN (as the queue would hand it over) is captured on lo and
// never answered by the kernel. The rules are the test's own, in a fresh namespace.
struct syn_capture_t {
  int client = -1;
  std::uint8_t syn[120];
  ssize_t length = 0;

  void open(std::uint16_t port) {
    const int capture = ::socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IPV6));
    ASSERT_GE(capture, 0) << std::strerror(errno);
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_IPV6);
    at.sll_ifindex = static_cast<int>(::if_nametoindex("lo"));
    ASSERT_EQ(::bind(capture, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    client = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in6 server{};
    server.sin6_family = AF_INET6;
    server.sin6_port = htons(port);
    server.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&server), sizeof server), -1);
    for (;;) {
      ASSERT_TRUE(tests::wait_for(capture, POLLIN));
      length = ::recv(capture, syn, sizeof syn, 0);
      ASSERT_GE(length, 60);
      if (syn[6] == 6 && (syn[42] << 8 | syn[43]) == port && syn[53] == 0x02) break;
    }
    ::close(capture);
  }
  ~syn_capture_t() {
    if (client >= 0) ::close(client);
  }
  // The outcome of the client's connect: 0 when connected.
  int outcome() const {
    EXPECT_TRUE(tests::wait_for(client, POLLOUT));
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &size);
    return error;
  }
};

TEST(Ipv6Path, TheClientsKernelTakesTheResetAndTheListenersKernelTheRetransmittedSyn) {
  tests::enter_fresh_netns();
  if (HasFatalFailure() || IsSkipped()) return;
  // The kernel must not answer a client's own SYN; only the daemon's copies (mark 1|2 for the SYN, 2|4
  // for the reset) pass.
  tests::shell("ip6tables-legacy -A INPUT -p tcp --syn -m mark ! --mark 3 -j DROP");
  tests::shell("ip6tables-legacy -A OUTPUT -p tcp --tcp-flags RST RST -m mark --mark 6");
  auto config = tests::config_with_marks();
  fw::service::marks_t marks(config);
  marks.start();
  boost::asio::io_context io;
  fw::service::connection_rejector_t rejector(io, marks);
  rejector.start();
  fw::service::marking_retransmitter_t retransmitter(io, marks);
  retransmitter.start();

  syn_capture_t refused;
  refused.open(4444);
  if (HasFatalFailure()) return;
  rejector.reject(fw::net::ip_header_t::ipv6(refused.syn, 40), nullptr, fw::net::tcp_header_t(refused.syn + 40));
  io.run();
  EXPECT_EQ(refused.outcome(), ECONNREFUSED);
  EXPECT_EQ(tests::shell("ip6tables-legacy -L OUTPUT -v -x -n | awk 'NR == 3 {print $1}'"), "1\n");

  const auto listener = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 at{};
  at.sin6_family = AF_INET6;
  at.sin6_port = htons(5555);
  at.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  syn_capture_t accepted;
  accepted.open(5555);
  if (HasFatalFailure()) return;
  // The copy's payload length is the retransmitter's to set (the kernel takes an IPv6 header as it is).
  auto copy = std::make_shared<std::uint8_t[]>(static_cast<std::size_t>(accepted.length));
  std::memcpy(copy.get(), accepted.syn, static_cast<std::size_t>(accepted.length));
  copy[4] = copy[5] = 0;
  retransmitter.retransmit(boost::asio::ip::address_v6::loopback(), std::move(copy),
                           static_cast<std::size_t>(accepted.length));
  io.restart();
  io.run();
  EXPECT_EQ(accepted.outcome(), 0);
  const int peer = ::accept(listener, nullptr, nullptr);
  EXPECT_GE(peer, 0);
  ::close(peer);
  ::close(listener);
}

struct no_delegate_t : fw::service::transparent_acceptor_t::delegate_t {
  void new_client_socket(const fw::net::endpoint_t &, const fw::net::endpoint_t &, fw::util::scoped_fd_t) override {
    ADD_FAILURE();
  }
};

// The IPv6 listener follows the IPv4 one's port; when it cannot be opened (no IPv6 on the host, or as
// here the port taken) that costs one Info line, not the start.
TEST(Ipv6Path, TheAcceptorListensOnTheIpv6LoopbackWhenItCan) {
  tests::enter_fresh_netns();
  if (HasFatalFailure() || IsSkipped()) return;
  tests::log_capture_t log;
  auto config = tests::config_with_marks();
  fw::service::marks_t marks(config);
  marks.start();
  boost::asio::io_context io;
  no_delegate_t delegate;
  fw::service::transparent_acceptor_t acceptor(io, delegate, config, marks);
  // [::1]:7102 is taken: the IPv6 socket cannot be opened there.
  const auto taken = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 at{};
  at.sin6_family = AF_INET6;
  at.sin6_port = htons(7102);
  at.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  for (const bool ipv6 : {true, false}) {
    tests::set_listen_address(config, "127.0.0.1", ipv6 ? 7101 : 7102);
    acceptor.start();
    EXPECT_EQ(acceptor.local_endpoint().port(), ipv6 ? 7101 : 7102);
    EXPECT_EQ(acceptor.local_endpoint_ipv6().has_value(), ipv6);
    if (ipv6) EXPECT_EQ(fw::net::to_string(*acceptor.local_endpoint_ipv6()), "[::1]:7101");
  }
  EXPECT_EQ(log.count_containing("Debug: Transparent acceptor: listening at [::1]:7101"), 1u) << log.all();
  EXPECT_EQ(log.count("Info: Transparent acceptor: bind to [::1]:7102 failed: Address already in use; no IPv6 "
                      "listener: diverting IPv4 connections only"), 1u) << log.all();
  ::close(taken);
}

} // namespace
