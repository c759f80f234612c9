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

#include "fw/net/checksum.hpp"
#include "fw/service/path/connection_rejector.hpp"
#include "fw/service/path/marking_retransmitter.hpp"
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

TEST(MarkingRetransmitter, SendsTheHeadersAsACompletePacketWithLocalDeliveryAndClientMarks) {
  tests::enter_fresh_netns();
  if (HasFatalFailure() || IsSkipped()) return;
  tests::shell("iptables-legacy -A OUTPUT -p tcp --syn --dport 5555 -m mark --mark 3");
  const int capture = ::socket(AF_INET, SOCK_RAW, IPPROTO_TCP);
  ASSERT_GE(capture, 0);

  auto config = tests::config_with_marks();
  fw::service::marks_t marks(config);
  marks.start();
  boost::asio::io_context io;
  fw::service::marking_retransmitter_t retransmitter(io, marks);
  retransmitter.start();
  retransmitter.start();

  tests::tcp_packet_t syn;
  syn.source = syn.destination = "127.0.0.1";
  syn.destination_port = 5555;
  syn.options = {130, 3, 0xAB};
  bytes_t bytes = syn.bytes();
  // The headers of a SYN that carried 100 bytes of data, which were not copied.
  bytes[3] = static_cast<std::uint8_t>(bytes.size() + 100);
  auto buffer = std::make_shared<std::uint8_t[]>(bytes.size());
  std::memcpy(buffer.get(), bytes.data(), bytes.size());
  retransmitter.retransmit(tests::ipv4("127.0.0.1"), std::move(buffer), bytes.size());
  io.run();

  EXPECT_EQ(tests::rule_packets("OUTPUT"), 1u);
  std::uint8_t received[100];
  ASSERT_TRUE(tests::wait_for(capture, POLLIN));
  ASSERT_EQ(::recv(capture, received, sizeof received, 0), static_cast<ssize_t>(bytes.size()));
  // A packet of what was sent: its total length, and a TCP checksum over the headers alone; the rest is
  // as queued (the kernel fills in the identification).
  EXPECT_EQ(received[2] << 8 | received[3], static_cast<int>(bytes.size()));
  EXPECT_EQ(fw::net::tcp_checksum(received, received + 24, bytes.size() - 24), 0);
  EXPECT_EQ(bytes_t(received + 20, received + 40), bytes_t(bytes.begin() + 20, bytes.begin() + 40));
  EXPECT_EQ(bytes_t(received + 8, received + 10), bytes_t(bytes.begin() + 8, bytes.begin() + 10));
  ::close(capture);
}

} // namespace
