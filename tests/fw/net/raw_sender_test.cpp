#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "fw/net/raw_sender.hpp"
#include "tests/fw/net/packet_builder.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/netns.hpp"

namespace {

std::string describe(const std::vector<std::uint8_t> &packet, std::size_t length) {
  return fw::net::raw_sender_t::describe(packet.data(), length);
}

fw::net::raw_sender_t::buffer_t buffer_of(const std::vector<std::uint8_t> &bytes) {
  auto buffer = std::make_shared<std::uint8_t[]>(bytes.size());
  std::memcpy(buffer.get(), bytes.data(), bytes.size());
  return buffer;
}

std::uint32_t address(const char *text) {
  in_addr a{};
  ::inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

TEST(RawSender, SendsInOrderAndGoesOnAfterTheKernelRefusesAPacket) {
  tests::enter_fresh_netns();
  if (HasFatalFailure() || IsSkipped()) return;
  tests::log_capture_t log;
  // Everything sent to port 9 is refused on the way out; port 10 reaches a raw listener.
  tests::shell("iptables-legacy -A OUTPUT -p tcp --dport 9 -j DROP");
  const int capture = ::socket(AF_INET, SOCK_RAW, IPPROTO_TCP);
  ASSERT_GE(capture, 0);
  timeval timeout{5, 0};
  ::setsockopt(capture, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  boost::asio::io_context io;
  fw::net::raw_sender_t sender(io);
  tests::tcp_packet_t packet;
  packet.source = packet.destination = "127.0.0.1";
  packet.flags = 0x14;
  for (std::uint16_t port : {9, 10, 9, 10}) {
    packet.destination_port = port;
    const auto bytes = packet.bytes();
    sender.send(address("127.0.0.1"), buffer_of(bytes), bytes.size());
    ++packet.source_port;
  }
  io.run();

  EXPECT_EQ(log.count("Debug: Raw sender: packet dropped by kernel: TCP RST,ACK 127.0.0.1:40000 -> 127.0.0.1:9"), 1u)
      << log.all();
  EXPECT_EQ(log.count("Debug: Raw sender: packet dropped by kernel: TCP RST,ACK 127.0.0.1:40002 -> 127.0.0.1:9"), 1u)
      << log.all();
  // The two packets that passed arrive in the order they were queued.
  for (std::uint16_t expected : {40001, 40003}) {
    std::uint8_t received[100];
    ASSERT_EQ(::recv(capture, received, sizeof received, 0), 40);
    EXPECT_EQ(received[20] << 8 | received[21], expected);
  }
  ::close(capture);
}

} // namespace
