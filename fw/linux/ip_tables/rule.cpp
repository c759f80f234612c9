#include "fw/linux/ip_tables/rule.hpp"

#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace fw::linux::ip_tables {

template <typename H> basic_rule_t<H> &basic_rule_t<H>::set_protocol(std::uint16_t protocol) {
  ip.proto = protocol;
  if constexpr (std::is_same_v<H, ip6_header_t>)
    ip.flags = static_cast<std::uint8_t>(protocol ? ip.flags | ip6_flag_protocol : ip.flags & ~ip6_flag_protocol);
  return *this;
}

template <typename H> basic_rule_t<H> &basic_rule_t<H>::set_out_interface(std::string_view name) {
  if (name.size() >= sizeof ip.out_iface) throw std::runtime_error("Interface name is too long: " + std::string(name));
  std::memset(ip.out_iface, 0, sizeof ip.out_iface);
  std::memset(ip.out_iface_mask, 0, sizeof ip.out_iface_mask);
  std::memcpy(ip.out_iface, name.data(), name.size());
  std::memset(ip.out_iface_mask, 0xFF, name.size() + 1);
  return *this;
}

template <typename H> basic_rule_t<H> &basic_rule_t<H>::set_source(address_t address, address_t mask) {
  ip.src = address;
  ip.src_mask = mask;
  return *this;
}

template <typename H> basic_rule_t<H> &basic_rule_t<H>::set_destination(address_t address, address_t mask) {
  ip.dst = address;
  ip.dst_mask = mask;
  return *this;
}

template <typename H> basic_rule_t<H> &basic_rule_t<H>::set_inverse_flags(std::uint8_t flags) {
  ip.invflags = flags;
  return *this;
}

template <typename H> basic_rule_t<H> &basic_rule_t<H>::append_match(extension_t match) {
  matches.push_back(std::move(match));
  return *this;
}

template <typename H> basic_rule_t<H> &basic_rule_t<H>::set_target(target_t t) {
  target = std::move(t);
  return *this;
}

template <typename H> bool basic_rule_t<H>::operator==(const basic_rule_t &other) const {
  return std::memcmp(&ip, &other.ip, sizeof ip) == 0 && matches == other.matches && target == other.target &&
         counters == other.counters;
}

template struct basic_rule_t<ip_header_t>;
template struct basic_rule_t<ip6_header_t>;

} // namespace fw::linux::ip_tables
