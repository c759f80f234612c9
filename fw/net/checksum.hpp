#pragma once

#include <cstddef>
#include <cstdint>

namespace fw::net {

// The TCP checksum of an IPv4 packet: the ones' complement of the ones' complement sum over the
// pseudo-header (both addresses, protocol 6, TCP length) and the TCP bytes, whose checksum field the
// caller has zeroed. ipv4 points at the IPv4 header; tcp and tcp_length give the TCP header and data.
std::uint16_t tcp_checksum(const std::uint8_t *ipv4, const std::uint8_t *tcp, std::size_t tcp_length) noexcept;
// The same over the IPv6 pseudo-header (both addresses, upper-layer length, next header 6); ipv6 points
// at the fixed IPv6 header.
std::uint16_t tcp_checksum_ipv6(const std::uint8_t *ipv6, const std::uint8_t *tcp, std::size_t tcp_length) noexcept;

// Makes a buffer that holds an IPv4 header and a TCP segment, length bytes in all, a packet of exactly
// that length: sets the total length and computes the IPv4 header and TCP checksums. The IPv4 header
// length must lie within the buffer. For an IPv6 packet (version nibble 6; the fixed header, options
// headers and a TCP segment) it sets the payload length and computes the TCP checksum.
void finish_tcp_packet(std::uint8_t *packet, std::size_t length) noexcept;

} // namespace fw::net
