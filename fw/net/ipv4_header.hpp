#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace fw::net {

// A read-only view over an IPv4 header as it lies in a packet (network byte order, no copy). The
// caller guarantees that the bytes up to header_length() are there and outlive the view. Addresses are
// returned in network order, as on the wire; other numbers in host order.
class ipv4_header_t {
public:
  static constexpr std::size_t min_size = 20;
  static constexpr std::size_t max_size = 60;

  explicit ipv4_header_t(const void *data) noexcept : data_(static_cast<const std::uint8_t *>(data)) {}

  const std::uint8_t *data() const noexcept { return data_; }

  unsigned version() const noexcept { return data_[0] >> 4; }
  // The header length in 32-bit words (low nibble of byte 0) and in bytes.
  unsigned ihl() const noexcept { return data_[0] & 0x0F; }
  std::size_t header_length() const noexcept { return std::size_t{ihl()} * 4; }
  std::uint8_t tos() const noexcept { return data_[1]; }
  std::uint16_t total_length() const noexcept { return read16(2); }
  std::uint16_t id() const noexcept { return read16(4); }
  // In 8-byte units; non-zero for every fragment but the first.
  std::uint16_t fragment_offset() const noexcept { return read16(6) & 0x1FFF; }
  std::uint8_t ttl() const noexcept { return data_[8]; }
  std::uint8_t protocol() const noexcept { return data_[9]; }
  std::uint32_t source_address() const noexcept { return read32_raw(12); }
  std::uint32_t destination_address() const noexcept { return read32_raw(16); }
  // Bytes 20 up to the header length (empty for a 20-byte header or a bogus shorter length).
  std::span<const std::uint8_t> options() const noexcept {
    const std::size_t length = header_length();
    return length > min_size ? std::span<const std::uint8_t>(data_ + min_size, length - min_size)
                             : std::span<const std::uint8_t>();
  }

private:
  std::uint16_t read16(std::size_t offset) const noexcept {
    return static_cast<std::uint16_t>((data_[offset] << 8) | data_[offset + 1]);
  }
  std::uint32_t read32_raw(std::size_t offset) const noexcept {
    std::uint32_t value;
    std::memcpy(&value, data_ + offset, 4);
    return value;
  }

  const std::uint8_t *data_;
};

} // namespace fw::net
