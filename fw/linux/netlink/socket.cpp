#include "fw/linux/netlink/socket.hpp"
#include "fw/util/system_error.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <linux/netlink.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/header.hpp"

namespace fw::linux::netlink {

namespace {

using fw::util::throw_system_error;

[[noreturn]] void throw_truncated() { throw std::runtime_error("NETLINK: Truncated message received"); }

} // namespace

socket_t socket_t::open(int protocol) {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
  if (fd < 0) throw_system_error(errno, ("Cannot open socket (protocol " + std::to_string(protocol) + ")").c_str());
  return socket_t(fw::util::scoped_fd_t(fd));
}

socket_t::socket_t(fw::util::scoped_fd_t fd, std::uint32_t peer_port_id)
    : fd_(std::move(fd)), peer_port_id_(peer_port_id) {
  int size = 0;
  socklen_t length = sizeof size;
  if (::getsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) throw_system_error(errno, "getsockopt(SO_RCVBUF)");
  buffer_.assign(static_cast<std::size_t>(size > 0 ? size : 0), 0);
}

socket_t::socket_t(socket_t &&other) noexcept = default;
socket_t &socket_t::operator=(socket_t &&other) noexcept = default;
socket_t::~socket_t() = default;

fw::util::scoped_fd_t socket_t::release() noexcept { return fw::util::scoped_fd_t(fd_.release()); }

void socket_t::send_iov(const void *iov, int count, std::size_t total) {
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_pid = peer_port_id_;
  address.nl_groups = 0;
  msghdr message{};
  message.msg_name = &address;
  message.msg_namelen = sizeof address;
  message.msg_iov = const_cast<iovec *>(static_cast<const iovec *>(iov));
  message.msg_iovlen = static_cast<std::size_t>(count);
  ssize_t sent;
  do sent = ::sendmsg(fd_.get(), &message, 0);
  while (sent < 0 && errno == EINTR);
  if (sent < 0) throw_system_error(errno, "NETLINK sendmsg");
  if (static_cast<std::size_t>(sent) < total) throw std::runtime_error("NETLINK: incomplete datagram sent");
}

void socket_t::send(std::uint16_t type, std::span<const std::uint8_t> payload, std::uint16_t extra_flags) {
  header_t header;
  header.length = static_cast<std::uint32_t>(header_size + payload.size());
  header.type = type;
  header.flags = static_cast<std::uint16_t>(extra_flags | f_request);
  std::uint8_t header_bytes[header_size];
  header.write(header_bytes);
  iovec iov[2] = {{header_bytes, header_size}, {const_cast<std::uint8_t *>(payload.data()), payload.size()}};
  send_iov(iov, 2, header.length);
}

void socket_t::send_raw(const void *data, std::size_t length) {
  iovec iov{const_cast<void *>(data), length};
  send_iov(&iov, 1, length);
}

std::size_t socket_t::receive_datagram() {
  ssize_t received;
  // MSG_TRUNC makes the kernel report the datagram's real size, so a datagram that did not fit the
  // buffer is reported as truncated instead of being walked as if it were complete.
  do received = ::recv(fd_.get(), buffer_.data(), buffer_.size(), MSG_TRUNC);
  while (received < 0 && errno == EINTR);
  if (received < 0) throw_system_error(errno, "NETLINK recv");
  const auto n = static_cast<std::size_t>(received);
  if (n > buffer_.size() || n < header_size) throw_truncated();
  if (header_t::read(buffer_.data()).length > n) throw_truncated();
  return n;
}

void socket_t::check_error(const std::uint8_t *message, std::size_t length) {
  const header_t header = header_t::read(message);
  if (header.type != msg_error) return;
  if (length < error_message_size) throw_truncated();
  const std::int32_t error = header_t::read_error(message);
  if (error != 0) throw_system_error(header_t::error_number(error), "NETLINK error received");
}

socket_t::received_t socket_t::receive_one() {
  receive_datagram();
  const header_t header = header_t::read(buffer_.data());
  // A length that does not even cover the header leaves no payload to copy.
  if (header.length < header_size) throw_truncated();
  check_error(buffer_.data(), header.length);
  received_t result;
  result.type = header.type;
  result.payload.assign(buffer_.data() + header_size, buffer_.data() + header.length);
  return result;
}

void socket_t::receive_ack() {
  receive_datagram();
  const header_t header = header_t::read(buffer_.data());
  if (header.type != msg_error) throw std::runtime_error("NETLINK: Unexpected message");
  check_error(buffer_.data(), header.length);
}

std::vector<socket_t::received_t> socket_t::receive_dump() {
  std::vector<received_t> result;
  for (;;) {
    const std::size_t n = receive_datagram();
    std::size_t offset = 0;
    while (n - offset >= header_size) {
      const std::uint8_t *message = buffer_.data() + offset;
      const header_t header = header_t::read(message);
      if (header.length < header_size || header.length > n - offset) break;
      if (header.type == msg_done) return result;
      if (header.type != msg_error && !(header.flags & f_multi)) throw std::runtime_error("NETLINK: Unexpected message");
      check_error(message, header.length);
      result.push_back({header.type, bytes_t(message + header_size, message + header.length)});
      offset += align4(header.length);
      if (offset > n) break;
    }
  }
}

void socket_t::request(std::uint16_t type, std::span<const std::uint8_t> payload, std::uint16_t extra_flags) {
  send(type, payload, static_cast<std::uint16_t>(extra_flags | f_ack));
  receive_ack();
}

std::vector<socket_t::received_t> socket_t::dump(std::uint16_t type, std::span<const std::uint8_t> payload,
                                                 std::uint16_t extra_flags) {
  send(type, payload, static_cast<std::uint16_t>(extra_flags | f_dump));
  return receive_dump();
}

} // namespace fw::linux::netlink
