#include "fw/service/path/connection_rejector.hpp"

#include <arpa/inet.h>

#include <cstring>

#include <boost/system/system_error.hpp>

#include "fw/net/checksum.hpp"
#include "fw/net/security_option.hpp"

namespace fw::service {

namespace {

void put16(std::uint8_t *at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

void put32(std::uint8_t *at, std::uint32_t value) {
  put16(at, static_cast<std::uint16_t>(value >> 16));
  put16(at + 2, static_cast<std::uint16_t>(value));
}

} // namespace

connection_rejector_t::connection_rejector_t(boost::asio::io_context &io, const marks_t &marks)
    : fw::net::raw_sender_t(io), marks_(marks) {}

void connection_rejector_t::start() {
  if (auto error = set_mark(marks_.client_packets_mark() | marks_.server_packets_mark()))
    throw boost::system::system_error(error, "cannot set socket mark");
}

void connection_rejector_t::reject(const fw::net::ip_header_t &ip, const std::uint8_t *security_option,
                                   const fw::net::tcp_header_t &tcp) {
  packet_t reset = make_reset(ip, security_option, tcp);
  send(ip.source(), std::move(reset.bytes), reset.length);
}

connection_rejector_t::packet_t connection_rejector_t::make_reset(const fw::net::ip_header_t &syn,
                                                                  const std::uint8_t *security_option,
                                                                  const fw::net::tcp_header_t &tcp) {
  packet_t reset;
  std::uint8_t *ip, *out;
  if (syn.is_ipv6()) {
    // IPv6 header, no extension headers. Unlike IPv4, the kernel fills in nothing: the payload length
    // is written here.
    reset.length = fw::net::ipv6_header_t::size + 20;
    reset.bytes = std::make_shared<std::uint8_t[]>(reset.length); // zero-filled
    ip = reset.bytes.get();
    ip[0] = 0x60;
    put16(ip + 4, 20);
    ip[6] = 6;  // TCP
    ip[7] = 40; // hop limit
    const fw::net::ipv6_header_t original(syn.data());
    std::memcpy(ip + 8, original.destination_address(), 16);
    std::memcpy(ip + 24, original.source_address(), 16);
    out = ip + fw::net::ipv6_header_t::size;
  } else {
    const fw::net::ipv4_header_t ipv4(syn.data());
    std::size_t option_length = fw::net::option_length(security_option);
    // An IPv4 header holds at most 40 option bytes; an option that cannot fit is not copied.
    if (option_length > 40) option_length = 0;
    const std::size_t header_words = (20 + option_length + 3) / 4;
    const std::size_t header_length = header_words * 4;

    reset.length = header_length + 20;
    reset.bytes = std::make_shared<std::uint8_t[]>(reset.length); // zero-filled
    ip = reset.bytes.get();
    ip[0] = static_cast<std::uint8_t>(0x40 | header_words);
    ip[8] = 40; // TTL
    ip[9] = 6;  // TCP
    const std::uint32_t source = ipv4.destination_address();
    const std::uint32_t destination = ipv4.source_address();
    std::memcpy(ip + 12, &source, 4);
    std::memcpy(ip + 16, &destination, 4);
    if (option_length) std::memcpy(ip + 20, security_option, option_length);
    out = ip + header_length;
  }

  put16(out, tcp.destination_port());
  put16(out + 2, tcp.source_port());
  put32(out + 8, tcp.sequence() + 1); // wraps to 0 after 4294967295
  out[12] = 5 << 4;
  out[13] = 0x14; // RST, ACK

  put16(out + 16, syn.is_ipv6() ? fw::net::tcp_checksum_ipv6(ip, out, 20) : fw::net::tcp_checksum(ip, out, 20));
  return reset;
}

} // namespace fw::service
