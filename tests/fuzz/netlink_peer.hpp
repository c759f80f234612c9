#pragma once

// A user-space netlink peer (NETLINK_USERSOCK) that plays the kernel for the fuzz targets.

#include <sys/socket.h>
#include <linux/netlink.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fw/linux/netlink/header.hpp"
#include "fw/util/scoped_fd.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"

namespace tests::fuzz {

inline constexpr int usersock = 2;

// A bound NETLINK_USERSOCK socket.
struct netlink_endpoint_t {
  fw::util::scoped_fd_t fd;
  std::uint32_t port = 0;

  netlink_endpoint_t() {
    fd.reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, usersock));
    FUZZ_CHECK(fd.get() >= 0);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    FUZZ_CHECK(::bind(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    socklen_t length = sizeof address;
    FUZZ_CHECK(::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&address), &length) == 0);
    port = address.nl_pid;
  }

  void send_to(std::uint32_t peer, const std::uint8_t *data, std::size_t size) const {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = peer;
    const ssize_t sent = ::sendto(fd.get(), data, size, 0, reinterpret_cast<sockaddr *>(&address), sizeof address);
    if (sent != static_cast<ssize_t>(size)) std::fprintf(stderr, "netlink peer: sendto %zu bytes: %zd, %s\n", size, sent, std::strerror(errno));
    FUZZ_CHECK(sent == static_cast<ssize_t>(size));
  }

  // Throws away whatever the socket under test sent; returns the number of datagrams.
  int drain() const {
    int n = 0;
    std::uint8_t buffer[4096];
    while (::recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC) >= 0) ++n;
    return n;
  }
};

// The peer playing the kernel, one per process.
inline const netlink_endpoint_t &kernel_peer() {
  static const netlink_endpoint_t peer;
  return peer;
}

// One message: header (length = 16 + payload size) and payload, padded to 4 bytes.
inline bytes_t netlink_message(std::uint16_t type, std::uint16_t flags, const std::uint8_t *payload, std::size_t size) {
  fw::linux::netlink::header_t header;
  header.length = static_cast<std::uint32_t>(fw::linux::netlink::header_size + size);
  header.type = type;
  header.flags = flags;
  bytes_t out(fw::linux::netlink::header_size);
  header.write(out.data());
  if (size) out.insert(out.end(), payload, payload + size);
  out.resize(fw::linux::netlink::align4(out.size()), 0);
  return out;
}

} // namespace tests::fuzz
