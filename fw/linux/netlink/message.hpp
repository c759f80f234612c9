#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fw/linux/netlink/header.hpp"

namespace fw::linux::netlink {

// An outgoing netlink message: the header fields and an owned payload. The header's length is
// 16 + payload size, fixed when the message is built.
class message_t {
public:
  using bytes_t = std::vector<std::uint8_t>;

  message_t(std::uint16_t type, std::uint16_t flags, bytes_t payload, std::uint32_t sequence = 0,
            std::uint32_t port_id = 0);

  const header_t &header() const noexcept { return header_; }
  const bytes_t &payload() const noexcept { return payload_; }
  std::array<std::uint8_t, header_size> header_bytes() const noexcept;

  // Appends header and payload, then zero bytes up to the next multiple of 4, so that messages can be
  // put one after the other into one datagram (a batch).
  void append_to(bytes_t &out) const;

private:
  header_t header_;
  bytes_t payload_;
};

} // namespace fw::linux::netlink
