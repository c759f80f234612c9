#pragma once

#include <cstdint>
#include <span>

#include "fw/linux/ip_tables/extension.hpp"

namespace fw::linux::ip_tables {

// TCP flag bits as the "tcp" match compares them.
enum tcp_flag_t : std::uint8_t { tcp_fin = 0x01, tcp_syn = 0x02, tcp_rst = 0x04, tcp_psh = 0x08, tcp_ack = 0x10, tcp_urg = 0x20 };

// "tcp" match, revision 0, 48 bytes: all source and destination ports, no option, the flags under
// flags_mask compared with flags_compare.
extension_t tcp_match(std::uint8_t flags_mask, std::uint8_t flags_compare);

enum class multiport_side_t : std::uint8_t { source = 0, destination = 1 };

// "multiport" match: flags at 32 (the side), count at 33, up to 15 ports (host order) from 34; more
// raise the runtime error "multiport: too many ports". Revision 0 (64 bytes) is gone from current
// kernels, so the highest of revisions 1 and 0 that the kernel supports is used (probed once per
// process); revision 1 (80 bytes) has the same leading fields, no port ranges and no inversion.
extension_t multiport_match(multiport_side_t side, std::span<const std::uint16_t> ports);
extension_t multiport_match(std::uint8_t revision, multiport_side_t side, std::span<const std::uint16_t> ports);

} // namespace fw::linux::ip_tables
