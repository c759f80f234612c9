#include "fw/net/checksum.hpp"

#include "fw/net/ipv4_header.hpp"
#include "fw/net/ipv6_header.hpp"

namespace fw::net {

namespace {

// Ones' complement sum of big-endian 16-bit words, an odd last byte padded with zero.
std::uint32_t add_words(std::uint32_t sum, const std::uint8_t *bytes, std::size_t length) noexcept {
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (length % 2) sum += static_cast<std::uint32_t>(bytes[length - 1] << 8);
  return sum;
}

std::uint16_t fold(std::uint32_t sum) noexcept {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

void put16(std::uint8_t *at, std::uint16_t value) noexcept {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

} // namespace

std::uint16_t tcp_checksum(const std::uint8_t *ipv4, const std::uint8_t *tcp, std::size_t tcp_length) noexcept {
  std::uint32_t sum = add_words(0, ipv4 + 12, 8); // both addresses
  sum += 6 + static_cast<std::uint32_t>(tcp_length);
  return fold(add_words(sum, tcp, tcp_length));
}

std::uint16_t tcp_checksum_ipv6(const std::uint8_t *ipv6, const std::uint8_t *tcp, std::size_t tcp_length) noexcept {
  std::uint32_t sum = add_words(0, ipv6 + 8, 32); // both addresses
  sum += 6 + static_cast<std::uint32_t>(tcp_length);
  return fold(add_words(sum, tcp, tcp_length));
}

void finish_tcp_packet(std::uint8_t *packet, std::size_t length) noexcept {
  if ((packet[0] >> 4) == 6 && length >= ipv6_header_t::size) {
    std::size_t header_length = ipv6_header_t::tcp_offset(packet, length);
    if (header_length == 0) header_length = ipv6_header_t::size;
    put16(packet + 4, static_cast<std::uint16_t>(length - ipv6_header_t::size));
    std::uint8_t *tcp = packet + header_length;
    put16(tcp + 16, 0);
    put16(tcp + 16, tcp_checksum_ipv6(packet, tcp, length - header_length));
    return;
  }
  const std::size_t header_length = ipv4_header_t(packet).header_length();
  put16(packet + 2, static_cast<std::uint16_t>(length));
  put16(packet + 10, 0);
  put16(packet + 10, fold(add_words(0, packet, header_length)));
  std::uint8_t *tcp = packet + header_length;
  put16(tcp + 16, 0);
  put16(tcp + 16, tcp_checksum(packet, tcp, length - header_length));
}

} // namespace fw::net
