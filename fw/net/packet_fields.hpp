#pragma once

#include <cstdint>
#include <cstring>

#include <arpa/inet.h>

// Field readers over raw IPv4 and TCP header bytes as they come from the wire. Addresses stay in
// network byte order; ports, sequence numbers and flags are returned in host order.
namespace fw::net::fields {

inline unsigned ipv4_header_length(const std::uint8_t *ip) { return (ip[0] & 0x0fu) * 4u; }

inline std::uint32_t ipv4_source(const std::uint8_t *ip) {
  std::uint32_t a;
  std::memcpy(&a, ip + 12, 4);
  return a;
}

inline std::uint32_t ipv4_destination(const std::uint8_t *ip) {
  std::uint32_t a;
  std::memcpy(&a, ip + 16, 4);
  return a;
}

inline std::uint16_t tcp_source_port(const std::uint8_t *tcp) {
  return static_cast<std::uint16_t>(tcp[0] << 8 | tcp[1]);
}

inline std::uint16_t tcp_destination_port(const std::uint8_t *tcp) {
  return static_cast<std::uint16_t>(tcp[2] << 8 | tcp[3]);
}

inline std::uint32_t tcp_sequence(const std::uint8_t *tcp) {
  std::uint32_t s;
  std::memcpy(&s, tcp + 4, 4);
  return ntohl(s);
}

inline unsigned tcp_header_length(const std::uint8_t *tcp) { return (tcp[12] >> 4) * 4u; }

// The flags byte with the NS bit (lowest bit of byte 12) as bit 8.
inline unsigned tcp_flags(const std::uint8_t *tcp) { return tcp[13] | (tcp[12] & 1u) << 8; }

} // namespace fw::net::fields
