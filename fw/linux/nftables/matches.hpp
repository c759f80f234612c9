#pragma once

#include <array>
#include <cstdint>

#include "fw/linux/nftables/rule.hpp"

namespace fw::linux::nftables::matches {

// The matches and actions of the daemon's rules, each a fixed sequence of expressions. Registers 10
// and 11 hold 32-bit values, register 9 the TCP flags byte. Marks, masks and interface indexes are
// 4-byte values in host order.

// Packet mark AND mask compared (equal or not) with value; the connection mark likewise.
void mark(rule_builder_t &rule, std::uint32_t value, std::uint32_t mask, bool equal = true);
void ctmark(rule_builder_t &rule, std::uint32_t value, std::uint32_t mask, bool equal = true);
// Layer-4 protocol TCP.
void l4proto_tcp(rule_builder_t &rule);
// TCP flags byte AND mask equal to value.
void tcpflags(rule_builder_t &rule, std::uint8_t mask, std::uint8_t value);
// Input or output interface index equal to index.
void iif(rule_builder_t &rule, std::uint32_t index);
void oif(rule_builder_t &rule, std::uint32_t index);
// Protocol family IPv4 (for inet chains).
void ipv4_only(rule_builder_t &rule);
// Protocol family IPv6 (for inet chains).
void ipv6_only(rule_builder_t &rule);
// Packet mark = (mark AND NOT bit) XOR bit.
void set_mark_bit(rule_builder_t &rule, std::uint32_t bit);
// Connection mark = (ctmark AND NOT mask) XOR value.
void set_ctmark(rule_builder_t &rule, std::uint32_t value, std::uint32_t mask);
// TPROXY to an address (network order) and port (host order).
void tproxy(rule_builder_t &rule, std::uint32_t address, std::uint16_t port);
// TPROXY to an IPv6 address (16 bytes, network order, loaded into registers 8 to 11) and port (host
// order, register 12), for tables of family ip6.
void tproxy6(rule_builder_t &rule, const std::array<std::uint8_t, 16> &address, std::uint16_t port);
// NFQUEUE queue with bypass.
void queue(rule_builder_t &rule, std::uint16_t number);
void counter(rule_builder_t &rule);
void accept(rule_builder_t &rule);

} // namespace fw::linux::nftables::matches
