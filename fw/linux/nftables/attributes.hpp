#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fw/linux/netlink/compound_attribute.hpp"

namespace fw::linux::nftables::attributes {

// Readers shared by the rule, chain and expression decoders. They work on raw attribute payloads and
// do not rely on the nested flag, so messages from any writer decode the same way.

// Walks one level: visit(type without its flag bits, payload, payload length). A malformed header
// raises the netlink attribute parse error.
template <class Visit> void walk(const std::uint8_t *data, std::size_t length, Visit &&visit) {
  netlink::compound_attribute_t::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    visit(static_cast<std::uint16_t>(type & netlink::attribute_type_mask), p, n);
  });
}

// An attribute at a place that admits only one type: a different type raises "table_type != atr type".
void expect_type(std::uint16_t actual, std::uint16_t expected);

// A NUL-terminated string whose attribute is exactly as long as the string needs (4 + length + 1,
// padded); otherwise "parse_route nla is wrong " + that length + " != " + the padded attribute length.
std::string read_string(const std::uint8_t *data, std::size_t length);

// Integers in network order; a payload too short raises the netlink invalid-attribute error.
std::uint16_t read_be16(const std::uint8_t *data, std::size_t length);
std::uint32_t read_be32(const std::uint8_t *data, std::size_t length);
std::uint64_t read_be64(const std::uint8_t *data, std::size_t length);

} // namespace fw::linux::nftables::attributes
