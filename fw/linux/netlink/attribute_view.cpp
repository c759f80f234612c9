#include "fw/linux/netlink/attribute_view.hpp"

#include <stdexcept>

namespace fw::linux::netlink {

attribute_view_t attribute_view_t::parse(const void *data, std::size_t length) {
  attribute_view_t view;
  compound_attribute_t::walk(data, length, [&](std::uint16_t type, const std::uint8_t *payload, std::size_t size) {
    const bool nested = (type & attribute_nested) != 0;
    if (nested) validate(payload, size, 1);
    const std::uint16_t key = type & attribute_type_mask;
    if (key >= capacity) return;
    view.slots_[key] = slot_t{payload, static_cast<std::uint16_t>(size), true, nested};
  });
  return view;
}

// Checks a nested level at the given depth (1 for a level inside the top one) and everything in it.
void attribute_view_t::validate(const void *data, std::size_t length, unsigned depth) {
  if (depth > max_attribute_nesting) throw compound_attribute_t::parse_error_t("Nesting too deep");
  compound_attribute_t::walk(data, length, [depth](std::uint16_t type, const std::uint8_t *payload, std::size_t size) {
    if (type & attribute_nested) validate(payload, size, depth + 1);
  });
}

const attribute_view_t::slot_t &attribute_view_t::slot(std::uint16_t type) const {
  const std::uint16_t key = type & attribute_type_mask;
  if (key >= capacity) throw std::out_of_range("netlink: attribute type beyond the view's capacity");
  return slots_[key];
}

std::span<const std::uint8_t> attribute_view_t::get_bytes(std::uint16_t type) const {
  const slot_t &s = slot(type);
  if (!s.present) throw compound_attribute_t::no_such_attribute_t(type & attribute_type_mask);
  if (s.nested) throw compound_attribute_t::invalid_attribute_t();
  return {s.data, s.size};
}

std::optional<std::span<const std::uint8_t>> attribute_view_t::find_bytes(std::uint16_t type) const {
  const slot_t &s = slot(type);
  if (!s.present) return std::nullopt;
  if (s.nested) throw compound_attribute_t::invalid_attribute_t();
  return std::span<const std::uint8_t>(s.data, s.size);
}

attribute_view_t attribute_view_t::get_compound(std::uint16_t type) const {
  const slot_t &s = slot(type);
  if (!s.present) throw compound_attribute_t::no_such_attribute_t(type & attribute_type_mask);
  if (!s.nested) throw compound_attribute_t::invalid_attribute_t();
  return parse(s.data, s.size);
}

std::optional<attribute_view_t> attribute_view_t::find_compound(std::uint16_t type) const {
  const slot_t &s = slot(type);
  if (!s.present) return std::nullopt;
  if (!s.nested) throw compound_attribute_t::invalid_attribute_t();
  return parse(s.data, s.size);
}

} // namespace fw::linux::netlink
