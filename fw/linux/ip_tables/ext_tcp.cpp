#include "fw/linux/ip_tables/ext_tcp.hpp"

#include <stdexcept>

#include "fw/linux/ip_tables/revision.hpp"

namespace fw::linux::ip_tables {
namespace {
cached_revision_t multiport_revision(extension_kind_t::match, "multiport", 0, 1);
} // namespace

extension_t tcp_match(std::uint8_t flags_mask, std::uint8_t flags_compare) {
  extension_t match("tcp", 0, 12);
  match.set_u16(32, 0);
  match.set_u16(34, 0xFFFF);
  match.set_u16(36, 0);
  match.set_u16(38, 0xFFFF);
  match.set_u8(40, 0);
  match.set_u8(41, flags_mask);
  match.set_u8(42, flags_compare);
  match.set_u8(43, 0);
  return match;
}

extension_t multiport_match(multiport_side_t side, std::span<const std::uint16_t> ports) {
  return multiport_match(multiport_revision.get(), side, ports);
}

extension_t multiport_match(std::uint8_t revision, multiport_side_t side, std::span<const std::uint16_t> ports) {
  constexpr std::size_t max_ports = 15;
  if (ports.size() > max_ports) throw std::runtime_error("multiport: too many ports");
  const bool v1 = revision >= 1;
  extension_t match("multiport", v1 ? 1 : 0, v1 ? 48 : 32);
  match.set_u8(32, static_cast<std::uint8_t>(side));
  match.set_u8(33, static_cast<std::uint8_t>(ports.size()));
  for (std::size_t i = 0; i < ports.size(); ++i) match.set_u16(34 + 2 * i, ports[i]);
  return match;
}

} // namespace fw::linux::ip_tables
