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

std::uint32_t read32(const std::uint8_t *p) { return std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// Ones' complement sum over the pseudo-header and the TCP header: 0xffff when the checksum is right.
std::uint16_t tcp_sum(const std::uint8_t *ip, const std::uint8_t *tcp) {
  std::uint32_t sum = 6 + 20;
  for (int i = 12; i < 20; i += 2) sum += ip[i] << 8 | ip[i + 1];
  for (int i = 0; i < 20; i += 2) sum += tcp[i] << 8 | tcp[i + 1];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

TEST(Reset, AnswersTheSynInTheServersName) {
  tests::tcp_packet_t syn;
  syn.sequence = 0x12345678;
  const bytes_t bytes = syn.bytes();
  const auto reset = fw::service::connection_rejector_t::make_reset(fw::net::ipv4_header_t(bytes.data()), nullptr,
                                                                     fw::net::tcp_header_t(bytes.data() + 20));
  ASSERT_EQ(reset.length, 40u);
  const std::uint8_t *ip = reset.bytes.get(), *tcp = ip + 20;
  const bytes_t expected_ip = {0x45, 0, 0, 0, 0, 0, 0, 0, 40, 6, 0, 0, 10, 0, 0, 2, 10, 0, 0, 1};
  EXPECT_EQ(bytes_t(ip, ip + 20), expected_ip);
  EXPECT_EQ(tcp[0] << 8 | tcp[1], 80);
  EXPECT_EQ(tcp[2] << 8 | tcp[3], 40000);
  EXPECT_EQ(read32(tcp + 4), 0u);
  EXPECT_EQ(read32(tcp + 8), 0x12345679u);
  EXPECT_EQ(tcp[12], 0x50);
  EXPECT_EQ(tcp[13], 0x14);
  EXPECT_EQ(tcp[14] | tcp[15] | tcp[18] | tcp[19], 0);
  EXPECT_NE(tcp[16] | tcp[17], 0);
  EXPECT_EQ(tcp_sum(ip, tcp), 0xffff);
}

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
