#include "fw/linux/ip_tables/ext_tcp.hpp"

#include <stdexcept>

namespace fw::linux::ip_tables {

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
  constexpr std::size_t max_ports = 15;
  if (ports.size() > max_ports) throw std::runtime_error("multiport: too many ports");
  extension_t match("multiport", 0, 32);
  match.set_u8(32, static_cast<std::uint8_t>(side));
  match.set_u8(33, static_cast<std::uint8_t>(ports.size()));
  for (std::size_t i = 0; i < ports.size(); ++i) match.set_u16(34 + 2 * i, ports[i]);
  return match;
}

} // namespace fw::linux::ip_tables
