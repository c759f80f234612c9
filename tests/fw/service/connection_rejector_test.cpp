// The rejector against the kernel: a client whose SYN the daemon rejects sees the connection refused.
#include <gtest/gtest.h>

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fw/service/connection_rejector.hpp"
#include "fw/service/marking_retransmitter.hpp"
#include "tests/fw/net/packet_builder.hpp"
#include "tests/fw/service/service_fixture.hpp"

namespace {

using bytes_t = std::vector<std::uint8_t>;

// Sees every IPv4 packet on the loopback device before netfilter's input hooks.
int open_loopback_capture() {
  const int fd = ::socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
  sockaddr_ll at{};
  at.sll_family = AF_PACKET;
  at.sll_protocol = htons(ETH_P_IP);
  at.sll_ifindex = static_cast<int>(::if_nametoindex("lo"));
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) return -1;
  return fd;
}

TEST(ConnectionRejector, ClientReceivesTheResetAsConnectionRefused) {
  tests::enter_fresh_netns();
  if (HasFatalFailure() || IsSkipped()) return;
  // The kernel must not answer the SYN itself; the reset carries the client and server packets marks.
  tests::shell("iptables-legacy -A INPUT -p tcp --syn --dport 4444 -j DROP");
  tests::shell("iptables-legacy -A OUTPUT -p tcp --tcp-flags RST RST -m mark --mark 6");
  const int capture = open_loopback_capture();
  ASSERT_GE(capture, 0) << std::strerror(errno);

  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(4444);
  server.sin_addr.s_addr = tests::ipv4("127.0.0.1");
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&server), sizeof server), -1);
  ASSERT_EQ(errno, EINPROGRESS);

  std::uint8_t syn[120];
  for (;;) {
    ASSERT_TRUE(tests::wait_for(capture, POLLIN));
    const ssize_t n = ::recv(capture, syn, sizeof syn, 0);
    ASSERT_GT(n, 40);
    const std::uint8_t *tcp = syn + (syn[0] & 0x0f) * 4;
    if (syn[9] == 6 && (tcp[2] << 8 | tcp[3]) == 4444 && tcp[13] == 0x02) break;
  }

  auto config = tests::config_with_marks();
  fw::service::marks_t marks(config);
  marks.start();
  boost::asio::io_context io;
  fw::service::connection_rejector_t rejector(io, marks);
  rejector.start();
  rejector.reject(fw::net::ipv4_header_t(syn), nullptr, fw::net::tcp_header_t(syn + (syn[0] & 0x0f) * 4));
  io.run();

  ASSERT_TRUE(tests::wait_for(client, POLLOUT));
  int error = 0;
  socklen_t size = sizeof error;
  ::getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &size);
  EXPECT_EQ(error, ECONNREFUSED) << std::strerror(error);
  EXPECT_EQ(tests::rule_packets("OUTPUT"), 1u);
  ::close(client);
  ::close(capture);
}

} // namespace
