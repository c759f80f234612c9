// The interceptor against crafted queue messages from a user-space netlink peer playing the kernel.

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <tuple>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "fw/linux/netlink/compound_attribute.hpp"
#include "fw/linux/nfnetlink/message.hpp"
#include "fw/linux/nfqueue/packet_interceptor.hpp"
#include "tests/fw/net/packet_builder.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/netlink_peer.hpp"

using fw::linux::nfqueue::packet_interceptor_t;
using tests::netlink::attribute;
using tests::netlink::bytes_t;
using tests::netlink::concat;
using tests::netlink::message;

namespace {

constexpr std::uint16_t queue = 0x1234;

// The IPv4 (ihl words, no-operation options) and TCP (data offset words) headers of a SYN, cut to size.
bytes_t packet_bytes(unsigned ihl = 5, unsigned doff = 5, std::size_t size = 0) {
  tests::tcp_packet_t syn;
  syn.options.assign(ihl > 5 ? ihl * 4 - 20 : 0, 1);
  syn.data_offset = static_cast<std::uint8_t>(doff);
  syn.after.resize(doff > 5 ? doff * 4 - 20 : 0);
  bytes_t p = syn.bytes();
  p[0] = static_cast<std::uint8_t>(0x40 | ihl);
  p.resize(size ? size : ihl * 4 + doff * 4);
  return p;
}

// An attribute with its exact length in the header and zero padding after it, as the kernel writes.
bytes_t attr(std::uint16_t type, const bytes_t &value) {
  bytes_t padded = value;
  padded.resize((value.size() + 3) & ~std::size_t{3}, 0);
  return attribute(static_cast<std::uint16_t>(4 + value.size()), type, padded);
}

bytes_t be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v)};
}

// A queued-packet message (type 0x300) with a packet id, the packet and further attributes.
bytes_t queued(std::uint32_t id, const bytes_t &packet, const bytes_t &more = {}) {
  const bytes_t packet_hdr = concat({be32(id), {0x08, 0x00, 3}}); // id, hw protocol, hook
  return message(0x300, 0, concat({{AF_INET, 0, queue >> 8, queue & 0xFF}, attr(1, packet_hdr), more, attr(10, packet)}));
}

// Counts the packets handed on; the interceptor keeps them pending.
struct recorder_t : packet_interceptor_t::delegate_t {
  std::size_t packets = 0;
  void packet_intercepted(const fw::net::ip_header_t &, const fw::net::tcp_header_t &, const packet_interceptor_t::packet_attribs_t &,
                          std::weak_ptr<packet_interceptor_t::packet_entry_t>) override {
    ++packets;
  }
};

struct fixture_t {
  boost::asio::io_context io;
  tests::netlink::endpoint_t kernel;
  std::uint32_t port = 0;
  std::unique_ptr<packet_interceptor_t> interceptor;
  recorder_t delegate;

  fixture_t() {
    tests::netlink::endpoint_t own;
    port = own.port;
    interceptor = std::make_unique<packet_interceptor_t>(
        std::make_unique<fw::linux::netlink::async::link_t>(io, own.take(), kernel.port), queue, 768);
    interceptor->start(delegate);
  }
  void deliver(const bytes_t &datagram, std::size_t packets_expected) {
    kernel.send_to(port, datagram);
    while (delegate.packets < packets_expected && io.run_one_for(std::chrono::seconds(5)) > 0) {
    }
  }
  // The next verdict the kernel side sees, if any.
  bytes_t verdict(int timeout_ms = 2000) {
    io.run_for(std::chrono::milliseconds(10));
    return kernel.receive(timeout_ms);
  }
};

// The drop verdict the interceptor must write for a packet id, as its sequence-th request.
bytes_t drop_bytes(std::uint32_t id, std::uint32_t sequence = 0) {
  const bytes_t header = concat({{0, 0, 0, 0}, be32(id)});
  return message(0x301, 1, concat({{0, 0, queue >> 8, queue & 0xFF}, attribute(12, 2, header)}), sequence, false);
}

} // namespace

TEST(NfqueuePacket, UnreadablePacketsAreDroppedAndTheQueueGoesOn) {
  const auto patched = [](std::size_t at, std::uint8_t value) {
    bytes_t p = packet_bytes();
    p[at] = value;
    return p;
  };
  // An IPv6 packet of n bytes: next header, then a TCP data offset at byte 52.
  const auto ipv6_bytes = [](std::uint8_t next, std::uint8_t offset, std::size_t n) {
    bytes_t b(n, 0);
    b[0] = 0x60, b[6] = next;
    if (n > 52) b[52] = static_cast<std::uint8_t>(offset << 4);
    return b;
  };
  const bytes_t hdr_attr = attr(1, {0, 0, 0, 1, 8, 0, 3});
  const std::optional<std::uint32_t> none;
  const std::vector<std::tuple<bytes_t, std::optional<std::uint32_t>, std::string>> cases = {
      {message(0x301, 0, {0, 0, 0, 0}), none, "invalid message type: 769"},
      {message(0x300, 0, {0, 0}), none, "Cannot parse nfnetlink message: Truncated message"},
      {queued(1, packet_bytes(5, 5, 39)), 1, "truncated packet"},
      {queued(1, packet_bytes(6, 5, 40)), 1, "truncated TCP header"},
      {queued(1, packet_bytes(5, 6, 40)), 1, "truncated TCP header"},
      {queued(1, packet_bytes(15, 5, 70)), 1, "truncated TCP header"},
      {queued(1, packet_bytes(5, 0, 40)), 1, "TCP data offset 0 is below 5"},
      {queued(1, packet_bytes(5, 4, 40)), 1, "TCP data offset 4 is below 5"},
      {queued(1, packet_bytes(4, 5, 40)), 1, "IPv4 header length 4 is below 5"},
      {queued(1, patched(9, 17)), 1, "not TCP but protocol 17"},
      {queued(1, patched(0, 0x55)), 1, "IP version 5 is not read"},
      {queued(1, ipv6_bytes(17, 5, 60)), 1, "no TCP header after the IPv6 header and its options headers"},
      {queued(1, ipv6_bytes(6, 5, 59)), 1, "truncated packet"},
      {queued(1, ipv6_bytes(6, 4, 60)), 1, "TCP data offset 4 is below 5"},
      {queued(1, ipv6_bytes(6, 6, 60)), 1, "truncated TCP header"},
      {queued(1, patched(7, 1)), 1, "not the first fragment"},
      {queued(1, {}), 1, "truncated packet"},
      {message(0x300, 0, concat({{2, 0, 0, 1}, attr(10, packet_bytes())})), none, "netlink: 1: No such attribute"},
      {message(0x300, 0, concat({{2, 0, 0, 1}, hdr_attr})), 1, "netlink: 10: No such attribute"},
      {message(0x300, 0, concat({{2, 0, 0, 1}, attr(1, {0, 0, 0, 2, 8, 0}), attr(10, packet_bytes())})), 2,
       "netlink: Invalid attribute type"},
      // Attributes that do not parse: the id is taken from a sound packet header attribute before them.
      {message(0x300, 0, concat({{2, 0, 0, 1}, attribute(12, 0x8001), attr(1, {0, 0, 0, 3}), attr(10, packet_bytes())})),
       none, "netlink: Invalid attribute type"},
      {message(0x300, 0, concat({{2, 0, 0, 1}, hdr_attr, attribute(3, 1)})), 1,
       "netlink: cannot parse attribute: Invalid header length: 3"},
      {message(0x300, 0, concat({{2, 0, 0, 1}, attribute(3, 1)})), none,
       "netlink: cannot parse attribute: Invalid header length: 3"},
      {queued(1, packet_bytes(), attr(3, {0, 1})), 1, "netlink: Invalid attribute type"},
      {queued(1, packet_bytes(), attr(16, {0, 0, 1})), 1, "netlink: Invalid attribute type"},
      {queued(1, packet_bytes(), attr(9, bytes_t(11, 0))), 1, "netlink: Invalid attribute type"},
      {queued(1, packet_bytes(), attr(4, bytes_t(15, 0))), 1, "netlink: Invalid attribute type"},
  };
  for (const auto &[datagram, dropped, reason] : cases) {
    SCOPED_TRACE(reason);
    tests::log_capture_t log;
    fixture_t f;
    f.kernel.send_to(f.port, datagram);
    f.deliver(queued(9, packet_bytes()), 1); // handed on as usual, after the unreadable one
    EXPECT_EQ(f.interceptor->pending_count(), 1u);
    if (dropped)
      EXPECT_EQ(f.verdict(), drop_bytes(*dropped));
    else
      EXPECT_TRUE(f.verdict(100).empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{std::string("Warning: Packet interceptor: queue 4660: ") +
                                                    (dropped ? "dropping unreadable packet: " : "ignoring unreadable message: ") +
                                                    reason});
  }
  // A second one soon after is dropped without a line of its own.
  tests::log_capture_t log;
  fixture_t f;
  f.kernel.send_to(f.port, queued(1, packet_bytes(5, 0, 40)));
  f.kernel.send_to(f.port, queued(2, packet_bytes(5, 1, 40)));
  f.deliver(queued(3, packet_bytes(5, 5, 40)), 1); // the shortest acceptable packet
  EXPECT_EQ(f.verdict(), drop_bytes(1));
  EXPECT_EQ(f.verdict(), drop_bytes(2, 1));
  EXPECT_EQ(log.lines().size(), 1u);
}

namespace {

// Answers each configuration request on the newest socket, refusing uid/gid reporting.
struct fake_kernel_t {
  tests::netlink::endpoint_t endpoint;
  std::vector<bytes_t> requests;
  std::atomic<std::uint32_t> port = 0;
  int sockets = 0;

  packet_interceptor_t::socket_factory_t factory() {
    return [this] {
      tests::netlink::endpoint_t own;
      ++sockets;
      port = own.port;
      return fw::linux::netlink::socket_t(own.take(), endpoint.port);
    };
  }
  void serve(std::size_t count) {
    for (bytes_t request; requests.size() < count && !(request = endpoint.receive(10000)).empty();) {
      requests.push_back(request);
      const auto message = fw::linux::nfnetlink::message_t::parse(request.data() + 16, request.size() - 16);
      endpoint.send_to(port, tests::netlink::error_message(message.attributes().contains(5) ? -EOPNOTSUPP : 0, 0, 0x302));
    }
  }
};

bytes_t config_request(std::uint8_t command, const bytes_t &more = {}) {
  return message(0x302, 1 | 4, concat({{0, 0, 0x00, 0x07}, attribute(8, 1, {command, 0, 0, 2}), more}), 0, false);
}

const bytes_t bind_params = concat({attribute(12, 2, {0, 0, 0, 120, 2, 0, 0, 0}), attribute(8, 3, {0, 0, 4, 0})});
const bytes_t uid_gid = concat({attribute(8, 4, {0, 0, 0, 8}), attribute(8, 5, {0, 0, 0, 8})});

} // namespace

TEST(NfqueueConfig, RetriesWithoutUidGidOnANewSocketWhenTheKernelLacksIt) {
  fake_kernel_t kernel;
  std::thread server([&] { kernel.serve(6); });
  auto fd = packet_interceptor_t::open_queue(7, 1024, kernel.factory());
  server.join();
  EXPECT_TRUE(fd);
  EXPECT_EQ(kernel.sockets, 2);
  ASSERT_EQ(kernel.requests.size(), 6u);
  EXPECT_EQ(kernel.requests[2], config_request(1, concat({bind_params, uid_gid})));
  EXPECT_EQ(kernel.requests[3], config_request(4));
  EXPECT_EQ(kernel.requests[4], config_request(3));
  EXPECT_EQ(kernel.requests[5], config_request(1, bind_params));
}
