#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fw::linux::ip_tables {

// One match or target extension as the kernel lays it out: a 32-byte header (total size u16, name of
// 29 bytes zero-terminated, revision u8) followed by the extension's data. The block is kept as raw
// bytes so that extensions the daemon does not know pass through a read and a write unchanged.
class extension_t {
public:
  static constexpr std::size_t header_size = 32;
  static constexpr std::size_t name_size = 29;

  extension_t() = default;
  // Takes a block as it is (a foreign extension read from the kernel).
  explicit extension_t(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  // A zero-filled block of header plus data_size bytes, rounded up to a multiple of 8, with the size,
  // name and revision set in the header.
  extension_t(std::string_view name, std::uint8_t revision, std::size_t data_size);

  const std::vector<std::uint8_t> &bytes() const noexcept { return bytes_; }
  std::size_t size() const noexcept { return bytes_.size(); }

  // The header's name and revision; empty and 0 when the block is shorter than a header.
  std::string name() const;
  std::uint8_t revision() const noexcept;
  // Whether this is the extension name with exactly this block size.
  bool is(std::string_view name, std::size_t size) const { return bytes_.size() == size && this->name() == name; }

  // Field access at offsets from the start of the block; out-of-range access throws std::out_of_range.
  std::uint8_t u8(std::size_t offset) const;
  std::uint16_t u16(std::size_t offset) const;
  std::uint32_t u32(std::size_t offset) const;
  void set_u8(std::size_t offset, std::uint8_t value);
  void set_u16(std::size_t offset, std::uint16_t value);
  void set_u32(std::size_t offset, std::uint32_t value);
  void set_bytes(std::size_t offset, const void *data, std::size_t length);

  bool operator==(const extension_t &) const = default;

private:
  void check(std::size_t offset, std::size_t length) const;

  std::vector<std::uint8_t> bytes_;
};

} // namespace fw::linux::ip_tables
