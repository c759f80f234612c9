#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fw/linux/netlink/constants.hpp"

namespace fw::linux::netlink {

// The 16-byte message header (the kernel's nlmsghdr), host byte order. length counts the header and the
// payload without trailing padding.
struct header_t {
  std::uint32_t length = 0;
  std::uint16_t type = 0;
  std::uint16_t flags = 0;
  std::uint32_t sequence = 0;
  std::uint32_t port_id = 0;

  // Reads a header from at least header_size bytes of any alignment.
  static header_t read(const std::uint8_t *bytes) noexcept {
    header_t h;
    std::memcpy(&h.length, bytes, 4);
    std::memcpy(&h.type, bytes + 4, 2);
    std::memcpy(&h.flags, bytes + 6, 2);
    std::memcpy(&h.sequence, bytes + 8, 4);
    std::memcpy(&h.port_id, bytes + 12, 4);
    return h;
  }

  // Writes the header into header_size bytes.
  void write(std::uint8_t *bytes) const noexcept {
    std::memcpy(bytes, &length, 4);
    std::memcpy(bytes + 4, &type, 2);
    std::memcpy(bytes + 6, &flags, 2);
    std::memcpy(bytes + 8, &sequence, 4);
    std::memcpy(bytes + 12, &port_id, 4);
  }

  // The error field of an NLMSG_ERROR message (0 for an acknowledgement, else a negative errno). The
  // message must hold at least header_size + 4 bytes.
  static std::int32_t read_error(const std::uint8_t *message) noexcept {
    std::int32_t error;
    std::memcpy(&error, message + header_size, 4);
    return error;
  }

  // The errno of a non-zero error field. The kernel sends -1 to -4095; any other value (positive, or
  // too negative to be negated) stands for EPROTO.
  static int error_number(std::int32_t error) noexcept {
    return error < 0 && error > -4096 ? -error : EPROTO;
  }
};

} // namespace fw::linux::netlink
