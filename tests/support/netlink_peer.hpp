#pragma once

// A user-space netlink peer (NETLINK_USERSOCK) that plays the kernel's part for netlink code under test,
// and builders for crafted messages. Needs no test framework, so the fuzz targets use it as well; a
// peer that cannot be set up throws.

#include <sys/socket.h>
#include <linux/netlink.h>
#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "fw/linux/netlink/header.hpp"
#include "fw/util/scoped_fd.hpp"

namespace tests::netlink {

using bytes_t = std::vector<std::uint8_t>;

inline constexpr int usersock = 2; // NETLINK_USERSOCK: unicast between user-space sockets

// A bound NETLINK_USERSOCK socket with its kernel-assigned port id.
struct endpoint_t {
  fw::util::scoped_fd_t fd;
  std::uint32_t port = 0;

  endpoint_t() {
    fd.reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, usersock));
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    socklen_t length = sizeof address;
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
      throw std::runtime_error(std::string("netlink peer: ") + std::strerror(errno));
    port = address.nl_pid;
  }

  void send_to(std::uint32_t peer, const std::uint8_t *data, std::size_t size) const {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = peer;
    if (::sendto(fd.get(), data, size, 0, reinterpret_cast<sockaddr *>(&address), sizeof address) !=
        static_cast<ssize_t>(size))
      throw std::runtime_error("netlink peer: sendto " + std::to_string(size) + " bytes: " + std::strerror(errno));
  }
  void send_to(std::uint32_t peer, const bytes_t &datagram) const { send_to(peer, datagram.data(), datagram.size()); }

  // The next datagram, waiting at most timeout_ms; empty when none arrived.
  bytes_t receive(int timeout_ms = 5000) const {
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return {};
    bytes_t buffer(65536);
    const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buffer;
  }

  // Throws away whatever the socket under test sent; returns the number of datagrams.
  int drain() const {
    int n = 0;
    std::uint8_t buffer[4096];
    while (::recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC) >= 0) ++n;
    return n;
  }

  // Hands the descriptor over (to a socket or link under test).
  fw::util::scoped_fd_t take() { return std::move(fd); }
};

// A peer playing the kernel, one per process.
inline const endpoint_t &kernel_peer() {
  static const endpoint_t peer;
  return peer;
}

// One message: header (length = 16 + payload size) and payload, padded to 4 bytes when pad is set.
inline bytes_t message_of(std::uint16_t type, std::uint16_t flags, const std::uint8_t *payload, std::size_t size,
                          std::uint32_t sequence = 0, bool pad = true) {
  fw::linux::netlink::header_t header;
  header.length = static_cast<std::uint32_t>(16 + size);
  header.type = type;
  header.flags = flags;
  header.sequence = sequence;
  bytes_t out(16);
  header.write(out.data());
  if (size) out.insert(out.end(), payload, payload + size);
  if (pad) out.resize((out.size() + 3) & ~std::size_t{3}, 0);
  return out;
}
inline bytes_t message(std::uint16_t type, std::uint16_t flags, const bytes_t &payload, std::uint32_t sequence = 0,
                       bool pad = true) {
  return message_of(type, flags, payload.data(), payload.size(), sequence, pad);
}

inline bytes_t concat(std::initializer_list<bytes_t> parts) {
  bytes_t out;
  for (const auto &part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// An NLMSG_ERROR answering a request with the given sequence number: the error, then the request's header.
inline bytes_t error_message(std::int32_t error, std::uint32_t request_sequence, std::uint16_t request_type = 0x10) {
  fw::linux::netlink::header_t request;
  request.length = 16;
  request.type = request_type;
  request.sequence = request_sequence;
  bytes_t payload(20);
  std::memcpy(payload.data(), &error, 4);
  request.write(payload.data() + 4);
  return message(2, 0, payload, request_sequence);
}

// A raw attribute: header with the given length field, then the payload bytes as given.
inline bytes_t attribute(std::uint16_t length, std::uint16_t type, const bytes_t &payload = {}) {
  using b = std::uint8_t;
  return concat({{b(length), b(length >> 8), b(type), b(type >> 8)}, payload});
}

} // namespace tests::netlink
