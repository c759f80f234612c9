#include "fw/linux/ip_tables/extension.hpp"

#include <cstring>
#include <stdexcept>

namespace fw::linux::ip_tables {

extension_t::extension_t(std::string_view name, std::uint8_t revision, std::size_t data_size)
    : bytes_((header_size + data_size + 7) / 8 * 8, 0) {
  if (name.size() >= name_size) throw std::invalid_argument("extension name too long");
  set_u16(0, static_cast<std::uint16_t>(bytes_.size()));
  set_bytes(2, name.data(), name.size());
  set_u8(31, revision);
}

std::string extension_t::name() const {
  if (bytes_.size() < header_size) return {};
  const char *p = reinterpret_cast<const char *>(bytes_.data()) + 2;
  return std::string(p, ::strnlen(p, name_size));
}

std::uint8_t extension_t::revision() const noexcept { return bytes_.size() < header_size ? 0 : bytes_[31]; }

void extension_t::check(std::size_t offset, std::size_t length) const {
  if (offset > bytes_.size() || length > bytes_.size() - offset)
    throw std::out_of_range("extension field beyond its block");
}

std::uint8_t extension_t::u8(std::size_t offset) const {
  check(offset, 1);
  return bytes_[offset];
}

std::uint16_t extension_t::u16(std::size_t offset) const {
  check(offset, 2);
  std::uint16_t v;
  std::memcpy(&v, bytes_.data() + offset, sizeof v);
  return v;
}

std::uint32_t extension_t::u32(std::size_t offset) const {
  check(offset, 4);
  std::uint32_t v;
  std::memcpy(&v, bytes_.data() + offset, sizeof v);
  return v;
}

void extension_t::set_u8(std::size_t offset, std::uint8_t value) { set_bytes(offset, &value, sizeof value); }
void extension_t::set_u16(std::size_t offset, std::uint16_t value) { set_bytes(offset, &value, sizeof value); }
void extension_t::set_u32(std::size_t offset, std::uint32_t value) { set_bytes(offset, &value, sizeof value); }

void extension_t::set_bytes(std::size_t offset, const void *data, std::size_t length) {
  check(offset, length);
  if (length) std::memcpy(bytes_.data() + offset, data, length);
}

} // namespace fw::linux::ip_tables
