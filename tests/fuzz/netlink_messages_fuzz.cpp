// The netlink message walkers over one datagram from the peer: the asynchronous link (requests waiting
// for their acknowledgement, multipart answers, a delegate or handler that stops the link) and the
// blocking socket's single-answer, acknowledgement and dump readers. The first input byte chooses the
// reader and the link's situation; the rest is the datagram. A user-space netlink peer
// (NETLINK_USERSOCK) plays the kernel.

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/async/link.hpp"
#include "fw/linux/netlink/header.hpp"
#include "fw/linux/netlink/socket.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"
#include "tests/support/netlink_peer.hpp"

namespace {

namespace nl = fw::linux::netlink;
using tests::fuzz::bytes_t;

using tests::netlink::kernel_peer;
using netlink_endpoint_t = tests::netlink::endpoint_t;

constexpr std::size_t max_datagram = 65536;
constexpr std::uint16_t sentinel_type = 0x7FF0;
constexpr std::uint8_t sentinel_magic[8] = {'m', 'o', 'v', 'r', 'i', 'e', 'n', 'd'};

struct delegate_t : nl::async::link_t::delegate_t {
  nl::async::link_t *link = nullptr;
  bool stop_on_message = false;
  bool done = false;
  bool failed = false;
  int depth = 0; // multipart begin/end balance
  std::vector<std::pair<std::uint16_t, bytes_t>> delivered;

  void on_multipart_begin() override { FUZZ_CHECK(!failed && ++depth == 1); }
  void on_multipart_end() override { FUZZ_CHECK(!failed && --depth == 0); }
  void on_message(std::uint16_t type, const std::uint8_t *payload, std::size_t length) override {
    FUZZ_CHECK(!failed);
    FUZZ_CHECK(type != nl::msg_noop && type != nl::msg_error && type != nl::msg_done);
    if (type == sentinel_type && length == sizeof sentinel_magic && std::memcmp(payload, sentinel_magic, length) == 0) {
      done = true;
      return;
    }
    delivered.emplace_back(type, bytes_t(payload, payload + length));
    if (stop_on_message) link->stop();
  }
  void on_error(const boost::system::error_code &) override {
    FUZZ_CHECK(!failed);
    failed = true;
  }
};

// The messages of a datagram as a correct walker finds them, in order, up to the end of the datagram,
// NLMSG_DONE, a malformed header or a short error message. Both readers hand out a prefix of these
// (the link leaves out NOOP, ERROR and DONE).
std::vector<std::pair<std::uint16_t, bytes_t>> walk(const std::uint8_t *data, std::size_t size) {
  std::vector<std::pair<std::uint16_t, bytes_t>> messages;
  std::size_t offset = 0;
  while (size - offset >= nl::header_size) {
    const nl::header_t h = nl::header_t::read(data + offset);
    if (h.length < nl::header_size || h.length > size - offset) break;
    if (h.type == nl::msg_done) break;
    if (h.type == nl::msg_error && h.length < nl::error_message_size) break;
    messages.emplace_back(h.type, bytes_t(data + offset + nl::header_size, data + offset + h.length));
    offset += nl::align4(h.length);
    if (offset > size) break;
  }
  return messages;
}

template <class T> bool is_prefix(const std::vector<T> &part, const std::vector<T> &whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

void run_link(std::uint8_t mode, const std::uint8_t *data, std::size_t size) {
  boost::asio::io_context io;
  netlink_endpoint_t own;
  const std::uint32_t own_port = own.port;
  nl::async::link_t link(io, std::move(own.fd), kernel_peer().port);
  delegate_t delegate;
  delegate.link = &link;
  delegate.stop_on_message = mode & 0x10;
  // The queue's owner takes ENOENT answers to its verdicts as harmless; others take nothing.
  if (mode & 0x40)
    link.set_unanswered_error_filter([](std::uint16_t type, const boost::system::error_code &error) {
      return type == 0x301 && error.value() == ENOENT;
    });
  link.start(delegate);

  // Requests waiting for their answers: sequence numbers 0, 1, ...
  const unsigned open_requests = (mode >> 2) & 3;
  int answered = 0;
  for (unsigned i = 0; i < open_requests; ++i)
    link.send(0x10, bytes_t(4, 0), [&, i, mode](const boost::system::error_code &) {
      ++answered;
      if ((mode & 0x20) && i == 0) link.stop();
    });

  kernel_peer().send_to(own_port, data, size);
  const bytes_t sentinel = tests::netlink::message_of(sentinel_type, 0, sentinel_magic, sizeof sentinel_magic);
  kernel_peer().send_to(own_port, sentinel.data(), sentinel.size());

  while (!delegate.done && !delegate.failed && !link.stopped())
    FUZZ_CHECK(io.run_one_for(std::chrono::seconds(5)) > 0); // the link must get to the next datagram
  FUZZ_CHECK(answered <= static_cast<int>(open_requests));
  kernel_peer().drain();

  auto expected = walk(data, size);
  std::erase_if(expected, [](const auto &m) { return m.first == nl::msg_noop || m.first == nl::msg_error; });
  FUZZ_CHECK(is_prefix(delegate.delivered, expected));
}

void run_socket(std::uint8_t mode, const std::uint8_t *data, std::size_t size) {
  netlink_endpoint_t own;
  const timeval timeout{5, 0};
  ::setsockopt(own.fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const std::uint32_t own_port = own.port;
  nl::socket_t socket(std::move(own.fd), kernel_peer().port);

  kernel_peer().send_to(own_port, data, size);
  // A dump that the datagram does not end is ended by the next one.
  const bytes_t done = tests::netlink::message_of(nl::msg_done, nl::f_multi, nullptr, 0);
  kernel_peer().send_to(own_port, done.data(), done.size());
  try {
    switch (mode & 3) {
    case 1: {
      std::vector<std::pair<std::uint16_t, bytes_t>> got;
      for (auto &received : socket.receive_dump()) got.emplace_back(received.type, std::move(received.payload));
      FUZZ_CHECK(got == walk(data, size));
      break;
    }
    case 2: {
      const auto received = socket.receive_one();
      // The first message, whatever its type, as long as its header is sound.
      FUZZ_CHECK(size >= nl::header_size);
      const nl::header_t h = nl::header_t::read(data);
      FUZZ_CHECK(h.length >= nl::header_size && h.length <= size);
      FUZZ_CHECK(received.type == h.type && received.payload == bytes_t(data + nl::header_size, data + h.length));
      break;
    }
    default: socket.receive_ack(); break;
    }
  } catch (const boost::system::system_error &e) {
    // A reader that waits for more than was sent hangs its caller (here: the receive times out).
    FUZZ_CHECK(std::string(e.what()).rfind("NETLINK recv", 0) != 0);
  } catch (const std::runtime_error &) {
  }
}

} // namespace

FUZZ_TARGET(netlink_messages)(const std::uint8_t *data, std::size_t size) {
  // Netlink has no empty datagrams (sending one fails with ENODATA).
  if (size < 2 || size - 1 > max_datagram) return 0;
  const std::uint8_t mode = data[0];
  if ((mode & 3) == 0)
    run_link(mode, data + 1, size - 1);
  else
    run_socket(mode, data + 1, size - 1);
  return 0;
}
