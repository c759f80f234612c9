#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "fw/linux/ip_tables/extension.hpp"

namespace fw::linux::ip_tables {

// "TPROXY" target at the highest revision the kernel supports (1 or 0, probed once per process):
// mark mask at 32, mark value at 36, the address at 40 and the port (network order) at 56 for revision
// 1 (64 bytes) or at 44 for revision 0 (48 bytes). The address is in network order, the port in host
// order.
extension_t tproxy_target(in_addr address, std::uint16_t port, std::uint32_t mark_value, std::uint32_t mark_mask);
extension_t tproxy_target(std::uint8_t revision, in_addr address, std::uint16_t port, std::uint32_t mark_value,
                          std::uint32_t mark_mask);

// The IPv6 form: revision 1 only (64 bytes), the 16-byte address at 40. A kernel without revision 1
// raises the system error EOPNOTSUPP "target 'TPROXY'".
extension_t tproxy_target(const in6_addr &address, std::uint16_t port, std::uint32_t mark_value,
                          std::uint32_t mark_mask);

} // namespace fw::linux::ip_tables
