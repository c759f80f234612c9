// IPv6 on the data path, below the end-to-end runs of tests/scripts: where the TCP header of a queued
// IPv6 packet begins, and the retransmitted SYN judged by the kernel that receives it. (The IPv6 reset
// and listener are rows of the rejector's and the acceptor's tests.)

#include <cstring>
#include <vector>

#include "fw/net/ipv6_header.hpp"
#include "fw/net/raw_sender.hpp"
#include "fw/service/path/marking_retransmitter.hpp"
#include "tests/fw/service/service_fixture.hpp"

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

using Ipv6Path = tests::marks_test_t;

// A client's SYN to [::1]:5555, captured on lo and dropped there, sent again by the retransmitter: the
// listener's kernel takes the copy (the kernel takes an IPv6 header as it is: its payload length is the
// retransmitter's to set).
TEST_F(Ipv6Path, TheListenersKernelTakesTheRetransmittedSyn) {
  tests::shell("ip6tables-legacy -A INPUT -p tcp --syn -m mark ! --mark 3 -j DROP");
  fw::service::marking_retransmitter_t retransmitter(io, marks);
  retransmitter.start();
  const fw::util::scoped_fd_t listener(tests::listen_at("::1", 5555)), capture(tests::loopback_capture(true));
  const fw::util::scoped_fd_t client(tests::connecting("::1", 5555));
  std::uint8_t syn[120];
  const std::size_t length = tests::receive_syn(capture.get(), 5555, syn);
  ASSERT_NE(length, 0u);
  auto copy = std::make_shared<std::uint8_t[]>(length);
  std::memcpy(copy.get(), syn, length);
  copy[4] = copy[5] = 0;
  retransmitter.retransmit(boost::asio::ip::address_v6::loopback(), std::move(copy), length);
  io.run();
  EXPECT_EQ(tests::connect_outcome(client.get()), 0);
  EXPECT_GE(fw::util::scoped_fd_t(::accept(listener.get(), nullptr, nullptr)).get(), 0);
}

} // namespace
