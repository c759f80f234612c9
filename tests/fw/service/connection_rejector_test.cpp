// The rejector and the retransmitter against the kernel.
#include <cstring>

#include "fw/net/checksum.hpp"
#include "fw/service/path/connection_rejector.hpp"
#include "fw/service/path/marking_retransmitter.hpp"
#include "tests/fw/net/packet_builder.hpp"
#include "tests/fw/service/service_fixture.hpp"

namespace {

using bytes_t = std::vector<std::uint8_t>;

// The kernel must not answer the SYN itself; the reset carries the client and server packets marks.
struct ConnectionRejector : tests::marks_test_t, testing::WithParamInterface<const char *> {};

TEST_P(ConnectionRejector, ClientReceivesTheResetAsConnectionRefused) {
  const bool ipv6 = std::string(GetParam()) == "::1";
  const std::string tables = ipv6 ? "ip6tables-legacy" : "iptables-legacy";
  tests::shell(tables + " -A INPUT -p tcp --syn --dport 4444 -j DROP");
  tests::shell(tables + " -A OUTPUT -p tcp --tcp-flags RST RST -m mark --mark 6");
  const fw::util::scoped_fd_t capture(tests::loopback_capture(ipv6)), client(tests::connecting(GetParam(), 4444));
  std::uint8_t syn[120];
  ASSERT_NE(tests::receive_syn(capture.get(), 4444, syn), 0u);
  fw::service::connection_rejector_t rejector(io, marks);
  rejector.start();
  rejector.reject(fw::net::ip_header_t::copied(syn, 40), nullptr, fw::net::tcp_header_t(syn + (ipv6 ? 40 : (syn[0] & 0x0f) * 4)));
  io.run();
  EXPECT_EQ(tests::connect_outcome(client.get()), ECONNREFUSED);
  EXPECT_EQ(tests::shell(tables + " -L OUTPUT -v -x -n | awk 'NR == 3 {print $1}'"), "1\n");
}

INSTANTIATE_TEST_SUITE_P(Families, ConnectionRejector, testing::Values("127.0.0.1", "::1"),
                         [](const auto &info) { return std::string(info.index ? "Ipv6" : "Ipv4"); });

using MarkingRetransmitter = tests::marks_test_t;

TEST_F(MarkingRetransmitter, SendsTheHeadersAsACompletePacketWithLocalDeliveryAndClientMarks) {
  tests::shell("iptables-legacy -A OUTPUT -p tcp --syn --dport 5555 -m mark --mark 3");
  const int capture = ::socket(AF_INET, SOCK_RAW, IPPROTO_TCP);
  ASSERT_GE(capture, 0);
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
  retransmitter.retransmit(htonl(INADDR_LOOPBACK), std::move(buffer), bytes.size());
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
