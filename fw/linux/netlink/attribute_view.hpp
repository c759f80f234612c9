#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fw/linux/netlink/compound_attribute.hpp"

namespace fw::linux::netlink {

// A non-owning index over one level of attributes, for hot receive paths: the same parsing rules and
// errors as compound_attribute_t, but nothing is copied or allocated; the views point into the parsed
// bytes. Nested levels are validated when parsing and indexed on demand. Only types below capacity can
// be looked up (others are validated and skipped); asking for one raises std::out_of_range. Nesting
// deeper than max_attribute_nesting raises parse_error_t, as for the tree.
class attribute_view_t {
public:
  static constexpr std::size_t capacity = 64;

  attribute_view_t() noexcept = default;

  static attribute_view_t parse(const void *data, std::size_t length);

  bool contains(std::uint16_t type) const { return slot(type).present; }
  std::span<const std::uint8_t> get_bytes(std::uint16_t type) const;
  std::optional<std::span<const std::uint8_t>> find_bytes(std::uint16_t type) const;
  attribute_view_t get_compound(std::uint16_t type) const;
  std::optional<attribute_view_t> find_compound(std::uint16_t type) const;

private:
  struct slot_t {
    const std::uint8_t *data = nullptr;
    std::uint16_t size = 0;
    bool present = false;
    bool nested = false;
  };

  static void validate(const void *data, std::size_t length, unsigned depth);
  const slot_t &slot(std::uint16_t type) const;

  std::array<slot_t, capacity> slots_{};
};

} // namespace fw::linux::netlink
