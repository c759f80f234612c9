// The blocking socket against crafted datagrams: a datagram socket pair stands in for the kernel on the
// receive side, a user-space netlink peer on the send side.

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/socket.hpp"
#include "tests/fw/linux/netlink_peer.hpp"
#include "tests/support/error_text.hpp"

using fw::linux::netlink::socket_t;
using tests::netlink::bytes_t;
using tests::netlink::concat;
using tests::netlink::error_message;
using tests::netlink::message;

namespace {

// A socket under test whose datagrams are written by the test.
struct fed_socket_t {
  fw::util::scoped_fd_t feeder;
  std::optional<socket_t> socket;

  explicit fed_socket_t(int receive_buffer = 0) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
    feeder.reset(fds[0]);
    if (receive_buffer) ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    socket.emplace(fw::util::scoped_fd_t(fds[1]));
  }
  void feed(const bytes_t &datagram) {
    ASSERT_EQ(::send(feeder.get(), datagram.data(), datagram.size(), 0), static_cast<ssize_t>(datagram.size()));
  }
};

using tests::error_text;

int error_code_of(const std::function<void()> &f) {
  try {
    f();
  } catch (const boost::system::system_error &e) {
    EXPECT_EQ(std::string(e.what()).rfind("NETLINK error received", 0), 0u) << e.what();
    return e.code().value();
  }
  return 0;
}

constexpr std::uint16_t multi = 2;

} // namespace

TEST(NetlinkSocket, ReceiveBufferIsSizedBySoRcvbufAndReleaseLeavesNoDescriptor) {
  fed_socket_t s;
  int size = 0;
  socklen_t length = sizeof size;
  ASSERT_EQ(::getsockopt(s.socket->native_handle(), SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
  EXPECT_EQ(s.socket->receive_buffer_size(), static_cast<std::size_t>(size));
  socket_t moved = std::move(*s.socket);
  const int fd = moved.native_handle();
  auto released = moved.release();
  EXPECT_EQ(released.get(), fd);
  EXPECT_EQ(moved.native_handle(), -1);
}

TEST(NetlinkSocket, ReceiveOneReturnsTheFirstMessageAndRejectsTruncatedDatagrams) {
  fed_socket_t s(4096);
  ASSERT_LT(s.socket->receive_buffer_size(), 65536u);
  s.feed(concat({message(0x10, 0, {1, 2, 3}, 0, false)}));
  auto received = s.socket->receive_one();
  EXPECT_EQ(received.type, 0x10);
  EXPECT_EQ(received.payload, (bytes_t{1, 2, 3}));

  // An acknowledgement comes back as a type-2 message.
  s.feed(error_message(0, 0));
  EXPECT_EQ(s.socket->receive_one().type, 2);

  s.feed(bytes_t(15, 0));
  EXPECT_EQ(error_text([&] { s.socket->receive_one(); }), "NETLINK: Truncated message received");
  // The header claims more than arrived.
  bytes_t short_message = message(0x10, 0, {1, 2, 3, 4});
  short_message.resize(18);
  s.feed(short_message);
  EXPECT_EQ(error_text([&] { s.socket->receive_one(); }), "NETLINK: Truncated message received");
  // A header whose length does not even cover itself.
  bytes_t below_header = message(0x10, 0, {1, 2, 3, 4});
  const std::uint32_t length8 = 8;
  std::memcpy(below_header.data(), &length8, 4);
  s.feed(below_header);
  EXPECT_EQ(error_text([&] { s.socket->receive_one(); }), "NETLINK: Truncated message received");
  // An error message of 35 bytes.
  bytes_t error35 = error_message(-17, 0);
  error35.resize(35);
  const std::uint32_t length35 = 35;
  std::memcpy(error35.data(), &length35, 4);
  s.feed(error35);
  EXPECT_EQ(error_text([&] { s.socket->receive_one(); }), "NETLINK: Truncated message received");
  // A datagram larger than the receive buffer is not parsed as if it were whole.
  bytes_t huge = message(0x10, 0, bytes_t(s.socket->receive_buffer_size() + 64, 0));
  const std::uint32_t small = 20; // the first message itself would fit
  std::memcpy(huge.data(), &small, 4);
  s.feed(huge);
  EXPECT_EQ(error_text([&] { s.socket->receive_one(); }), "NETLINK: Truncated message received");
}

TEST(NetlinkSocket, ErrorsCarryTheKernelsErrno) {
  fed_socket_t s;
  s.feed(error_message(-17, 0));
  EXPECT_EQ(error_code_of([&] { s.socket->receive_one(); }), 17);
  s.feed(error_message(-1, 0));
  EXPECT_EQ(error_code_of([&] { s.socket->receive_ack(); }), 1);
  s.feed(error_message(0, 0));
  EXPECT_NO_THROW(s.socket->receive_ack());
  // Values no kernel sends: the most negative one cannot be negated, a positive one is no errno.
  s.feed(error_message(INT32_MIN, 0));
  EXPECT_EQ(error_code_of([&] { s.socket->receive_ack(); }), EPROTO);
  s.feed(error_message(5, 0));
  EXPECT_EQ(error_code_of([&] { s.socket->receive_one(); }), EPROTO);
  s.feed(message(0x10, 0, {}));
  EXPECT_EQ(error_text([&] { s.socket->receive_ack(); }), "NETLINK: Unexpected message");
}

TEST(NetlinkSocket, DumpCollectsAcrossDatagramsUntilDone) {
  fed_socket_t s;
  // An acknowledgement inside the dump is kept as a type-2 entry; a bogus header ends the datagram's
  // walk and the next datagram goes on.
  bytes_t bogus(16, 0);
  bogus[0] = 8; // length below 16
  s.feed(concat({message(0x18, multi, {1}), error_message(0, 5), message(0x18, multi, {2, 2}), bogus,
                 message(0x18, multi, {9})}));
  s.feed(concat({message(0x18, multi, {3, 3, 3}, 0, false)}));
  s.feed(concat({message(0x18, multi, {4}), message(3, multi, {0, 0, 0, 0}), message(0x18, multi, {5})}));
  const auto entries = s.socket->receive_dump();
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].type, 0x18);
  EXPECT_EQ(entries[0].payload, (bytes_t{1}));
  EXPECT_EQ(entries[1].type, 2);
  EXPECT_EQ(entries[2].payload, (bytes_t{2, 2}));
  EXPECT_EQ(entries[3].payload, (bytes_t{3, 3, 3}));
  EXPECT_EQ(entries[4].payload, (bytes_t{4}));

  // A message without NLM_F_MULTI inside a dump, and an error answer to the dump request.
  s.feed(message(0x18, 0, {1}));
  EXPECT_EQ(error_text([&] { s.socket->receive_dump(); }), "NETLINK: Unexpected message");
  s.feed(concat({message(0x18, multi, {1}), error_message(-22, 0)}));
  EXPECT_EQ(error_code_of([&] { s.socket->receive_dump(); }), 22);
}

TEST(NetlinkSocket, SendsOneDatagramWithRequestFlagSequenceZeroAndPortZero) {
  tests::netlink::endpoint_t peer, own;
  socket_t socket(own.take(), peer.port);
  socket.send(0x302, bytes_t{1, 2, 3, 4, 5}, 4);
  const bytes_t datagram = peer.receive();
  EXPECT_EQ(datagram, message(0x302, 5, {1, 2, 3, 4, 5}, 0, false));

  const bytes_t batch = concat({message(0x10, 1, {1}), message(0x11, 1, {})});
  socket.send_raw(batch.data(), batch.size());
  EXPECT_EQ(peer.receive(), batch);
}

TEST(NetlinkSocket, OpenReportsTheProtocolOnFailure) {
  EXPECT_EQ(error_text([] { socket_t::open(4242); }).rfind("Cannot open socket (protocol 4242)", 0), 0u);
  try {
    socket_t::open(4242);
  } catch (const boost::system::system_error &e) {
    EXPECT_NE(e.code().value(), 0);
  }
}
