#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fw/util/scoped_fd.hpp"

namespace fw::linux::netlink {

// A blocking netlink request/response socket, used for one install or removal step: open, send,
// receive the answer, close by destruction. Requests go to the kernel (port id 0) with sequence 0.
// The receive buffer is allocated once, sized by the socket's SO_RCVBUF, and reused.
class socket_t {
public:
  using bytes_t = std::vector<std::uint8_t>;
  // One received message: its type and a copy of its payload.
  struct received_t {
    std::uint16_t type = 0;
    bytes_t payload;
  };

  // socket(AF_NETLINK, SOCK_DGRAM, protocol); a system error "Cannot open socket (protocol N)".
  static socket_t open(int protocol);

  // Takes over an open netlink descriptor; a system error "getsockopt(SO_RCVBUF)" when the buffer
  // size cannot be read. peer_port_id addresses a user-space peer instead of the kernel (tests).
  explicit socket_t(fw::util::scoped_fd_t fd, std::uint32_t peer_port_id = 0);
  socket_t(socket_t &&other) noexcept;
  socket_t &operator=(socket_t &&other) noexcept;
  socket_t(const socket_t &) = delete;
  socket_t &operator=(const socket_t &) = delete;
  ~socket_t();

  int native_handle() const noexcept { return fd_.get(); }
  std::size_t receive_buffer_size() const noexcept { return buffer_.size(); }
  // Hands the descriptor out, leaving -1 behind.
  fw::util::scoped_fd_t release() noexcept;

  // One message: flags = extra_flags | NLM_F_REQUEST, header and payload sent as one datagram.
  void send(std::uint16_t type, std::span<const std::uint8_t> payload, std::uint16_t extra_flags = 0);
  // A buffer that already holds one or more complete messages (a batch).
  void send_raw(const void *data, std::size_t length);

  // The first message of the next datagram (an acknowledgement comes back as type NLMSG_ERROR); an
  // error message with a non-zero error raises a system error "NETLINK error received".
  received_t receive_one();
  // The next datagram must start with an acknowledgement; an error raises.
  void receive_ack();
  // Every message up to NLMSG_DONE, acknowledgements inside the dump included as type NLMSG_ERROR.
  std::vector<received_t> receive_dump();

  // send with NLM_F_ACK, then receive_ack.
  void request(std::uint16_t type, std::span<const std::uint8_t> payload, std::uint16_t extra_flags = 0);
  // send with NLM_F_DUMP, then receive_dump.
  std::vector<received_t> dump(std::uint16_t type, std::span<const std::uint8_t> payload,
                               std::uint16_t extra_flags = 0);

  // Checks one message of a datagram: an NLMSG_ERROR of 35 bytes or less raises "NETLINK: Truncated
  // message received", one with a non-zero error a system error "NETLINK error received"; anything
  // else passes.
  static void check_error(const std::uint8_t *message, std::size_t length);

private:
  std::size_t receive_datagram();
  void send_iov(const void *iov, int count, std::size_t total);

  fw::util::scoped_fd_t fd_;
  std::uint32_t peer_port_id_ = 0;
  bytes_t buffer_;
};

} // namespace fw::linux::netlink
