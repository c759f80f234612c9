#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fw::net {

// A read-only view over the fixed 40-byte IPv6 header as it lies in a packet (network byte order, no
// copy). The caller guarantees that the 40 bytes are there and outlive the view.
class ipv6_header_t {
public:
  static constexpr std::size_t size = 40;

  explicit ipv6_header_t(const void *data) noexcept : data_(static_cast<const std::uint8_t *>(data)) {}

  const std::uint8_t *data() const noexcept { return data_; }

  unsigned version() const noexcept { return data_[0] >> 4; }
  std::uint16_t payload_length() const noexcept { return static_cast<std::uint16_t>(data_[4] << 8 | data_[5]); }
  std::uint8_t next_header() const noexcept { return data_[6]; }
  std::uint8_t hop_limit() const noexcept { return data_[7]; }
  // The 16 address bytes, as on the wire.
  const std::uint8_t *source_address() const noexcept { return data_ + 8; }
  const std::uint8_t *destination_address() const noexcept { return data_ + 24; }

  // Where the TCP header begins in a packet of length bytes that starts with an IPv6 header: after the
  // fixed header and any hop-by-hop and destination options headers. 0 when no TCP header can be
  // reached that way (another upper layer, a routing or fragment header, or a chain cut short).
  static std::size_t tcp_offset(const std::uint8_t *packet, std::size_t length) noexcept {
    constexpr std::uint8_t hop_by_hop = 0, tcp = 6, destination_options = 60;
    if (length < size) return 0;
    std::uint8_t next = packet[6];
    std::size_t offset = size;
    while (next == hop_by_hop || next == destination_options) {
      if (length - offset < 8) return 0;
      const std::size_t extension = (std::size_t{packet[offset + 1]} + 1) * 8;
      if (length - offset < extension) return 0;
      next = packet[offset];
      offset += extension;
    }
    return next == tcp ? offset : 0;
  }

private:
  const std::uint8_t *data_;
};

} // namespace fw::net
