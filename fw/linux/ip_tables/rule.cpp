#include "fw/linux/ip_tables/rule.hpp"

#include <cstring>
#include <stdexcept>

namespace fw::linux::ip_tables {

rule_t &rule_t::set_protocol(std::uint16_t protocol) {
  ip.proto = protocol;
  return *this;
}

rule_t &rule_t::set_out_interface(std::string_view name) {
  if (name.size() >= sizeof ip.out_iface) throw std::runtime_error("Interface name is too long: " + std::string(name));
  std::memset(ip.out_iface, 0, sizeof ip.out_iface);
  std::memset(ip.out_iface_mask, 0, sizeof ip.out_iface_mask);
  std::memcpy(ip.out_iface, name.data(), name.size());
  std::memset(ip.out_iface_mask, 0xFF, name.size() + 1);
  return *this;
}

rule_t &rule_t::set_source(in_addr address, in_addr mask) {
  ip.src = address;
  ip.src_mask = mask;
  return *this;
}

rule_t &rule_t::set_destination(in_addr address, in_addr mask) {
  ip.dst = address;
  ip.dst_mask = mask;
  return *this;
}

rule_t &rule_t::set_inverse_flags(std::uint8_t flags) {
  ip.invflags = flags;
  return *this;
}

rule_t &rule_t::append_match(extension_t match) {
  matches.push_back(std::move(match));
  return *this;
}

rule_t &rule_t::set_target(target_t t) {
  target = std::move(t);
  return *this;
}

bool rule_t::operator==(const rule_t &other) const {
  return std::memcmp(&ip, &other.ip, sizeof ip) == 0 && matches == other.matches && target == other.target &&
         counters == other.counters;
}

} // namespace fw::linux::ip_tables
