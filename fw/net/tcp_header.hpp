#pragma once

#include <cstddef>
#include <cstdint>

namespace fw::net {

// A read-only view over a TCP header as it lies in a packet (network byte order, no copy). The caller
// guarantees that the bytes up to header_length() are there and outlive the view. Numbers are returned
// in host order.
class tcp_header_t {
public:
  static constexpr std::size_t min_size = 20;
  static constexpr std::size_t max_size = 60;

  static constexpr std::uint8_t fin = 0x01;
  static constexpr std::uint8_t syn = 0x02;
  static constexpr std::uint8_t rst = 0x04;
  static constexpr std::uint8_t psh = 0x08;
  static constexpr std::uint8_t ack = 0x10;

  explicit tcp_header_t(const void *data) noexcept : data_(static_cast<const std::uint8_t *>(data)) {}

  const std::uint8_t *data() const noexcept { return data_; }

  std::uint16_t source_port() const noexcept { return read16(0); }
  std::uint16_t destination_port() const noexcept { return read16(2); }
  std::uint32_t sequence() const noexcept { return read32(4); }
  std::uint32_t acknowledgement() const noexcept { return read32(8); }
  // The header length in 32-bit words (high nibble of byte 12) and in bytes.
  unsigned data_offset() const noexcept { return data_[12] >> 4; }
  std::size_t header_length() const noexcept { return std::size_t{data_offset()} * 4; }
  std::uint8_t flags() const noexcept { return data_[13]; }
  bool is_syn() const noexcept { return (flags() & syn) != 0; }
  bool is_ack() const noexcept { return (flags() & ack) != 0; }
  std::uint16_t window() const noexcept { return read16(14); }
  std::uint16_t checksum() const noexcept { return read16(16); }

private:
  std::uint16_t read16(std::size_t offset) const noexcept {
    return static_cast<std::uint16_t>((data_[offset] << 8) | data_[offset + 1]);
  }
  std::uint32_t read32(std::size_t offset) const noexcept {
    return (std::uint32_t{data_[offset]} << 24) | (std::uint32_t{data_[offset + 1]} << 16) |
           (std::uint32_t{data_[offset + 2]} << 8) | data_[offset + 3];
  }

  const std::uint8_t *data_;
};

} // namespace fw::net
