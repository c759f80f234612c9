#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fw/net/ipv4_header.hpp"
#include "fw/net/tcp_header.hpp"

using fw::net::ipv4_header_t;
using fw::net::tcp_header_t;

namespace {

// A SYN,ACK 192.168.7.1:443 -> 10.0.0.2:51000 with a 28-byte IPv4 header (a security option and two
// no-operations) and a 24-byte TCP header, as it lies in a packet.
const std::vector<std::uint8_t> packet = {
    0x47, 0x10, 0x00, 0x34, 0x12, 0x34, 0x40, 0x00, 0x40, 0x06, 0x00, 0x00, 192, 168, 7, 1, 10, 0, 0, 2,
    130, 3, 0xAB, 1, 1, 0, 0, 0,                                                 // options
    0x01, 0xBB, 0xC7, 0x38, 0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0, 0x60, 0x12, 0xFF, 0xFF, 0xBE, 0xEF,
    0x00, 0x00, 0x02, 0x04, 0x05, 0xB4};

} // namespace

TEST(HeaderViews, ReadTheFieldsInPlace) {
  const ipv4_header_t ip(packet.data());
  EXPECT_EQ(ip.data(), packet.data());
  EXPECT_EQ(ip.version(), 4u);
  EXPECT_EQ(ip.ihl(), 7u);
  EXPECT_EQ(ip.header_length(), 28u);
  EXPECT_EQ(ip.total_length(), 0x34);
  EXPECT_EQ(ip.id(), 0x1234);
  EXPECT_EQ(ip.protocol(), 6);
  EXPECT_EQ(ip.source_address(), inet_addr("192.168.7.1"));
  EXPECT_EQ(ip.destination_address(), inet_addr("10.0.0.2"));
  ASSERT_EQ(ip.options().size(), 8u);
  EXPECT_EQ(ip.options().data(), packet.data() + 20);
  EXPECT_EQ(ip.options()[0], 130);

  const tcp_header_t tcp(packet.data() + ip.header_length());
  EXPECT_EQ(tcp.source_port(), 443);
  EXPECT_EQ(tcp.destination_port(), 51000);
  EXPECT_EQ(tcp.sequence(), 0x01020304u);
  EXPECT_EQ(tcp.acknowledgement(), 0xA0B0C0D0u);
  EXPECT_EQ(tcp.data_offset(), 6u);
  EXPECT_EQ(tcp.header_length(), 24u);
  EXPECT_EQ(tcp.flags(), tcp_header_t::syn | tcp_header_t::ack);
  EXPECT_TRUE(tcp.is_syn());
  EXPECT_TRUE(tcp.is_ack());
  EXPECT_EQ(tcp.window(), 0xFFFF);
  EXPECT_EQ(tcp.checksum(), 0xBEEF);
}

TEST(HeaderViews, NoOptionsForMinimalOrBogusLengths) {
  std::vector<std::uint8_t> bytes = packet;
  bytes[0] = 0x45;
  EXPECT_TRUE(ipv4_header_t(bytes.data()).options().empty());
  bytes[0] = 0x43; // shorter than the fixed header: nothing to read as options
  EXPECT_TRUE(ipv4_header_t(bytes.data()).options().empty());
  EXPECT_EQ(ipv4_header_t(bytes.data()).header_length(), 12u);
}
