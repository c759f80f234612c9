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

// "multiport" match, revision 0, 64 bytes: up to 15 ports (host order); more raise the runtime error
// "multiport: too many ports".
extension_t multiport_match(multiport_side_t side, std::span<const std::uint16_t> ports);

} // namespace fw::linux::ip_tables
