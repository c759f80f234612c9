#include "fw/service/path/packet_validator.hpp"

#include <arpa/inet.h>

#include <string>


namespace fw::service {

packet_validator_t::packet_validator_t(const marks_t &marks, const transparent_acceptor_t &acceptor)
    : marks_(marks), acceptor_(acceptor) {}

void packet_validator_t::start() {
  expected_mark_ = 0;
  mark_mask_ = marks_.client_packets_mark() | marks_.server_packets_mark();
  listening_ = acceptor_.local_endpoint();
  listening_ipv6_ = acceptor_.local_endpoint_ipv6();
}

void packet_validator_t::validate_client_packet(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp,
                                                std::uint32_t mark) const {
  check_data_offset(tcp);
  check_mark(mark);
  check_flags(tcp, 0x02);
  const fw::net::endpoint_t destination(ip.destination(), tcp.destination_port());
  if (destination == listening_ || destination == listening_ipv6_)
    throw invalid_packet_t("direct connection to " + fw::net::to_string(destination) + " is not allowed");
}

void packet_validator_t::validate_server_answer(const fw::net::ip_header_t &, const fw::net::tcp_header_t &tcp,
                                                std::uint32_t mark) const {
  check_data_offset(tcp);
  check_mark(mark);
  check_flags(tcp, 0x12);
}

// A header that claims fewer than 20 bytes would make whoever copies it by its length read beyond the copy.
void packet_validator_t::check_data_offset(const fw::net::tcp_header_t &tcp) {
  if (tcp.data_offset() < 5)
    throw invalid_packet_t("tcp data offset " + std::to_string(tcp.data_offset()) + " is below 5");
}

void packet_validator_t::check_mark(std::uint32_t mark) const {
  if ((mark & mark_mask_) != expected_mark_)
    throw invalid_packet_t("packet mark " + std::to_string(mark) + " does not match " +
                           std::to_string(expected_mark_) + "/" + std::to_string(mark_mask_));
}

void packet_validator_t::check_flags(const fw::net::tcp_header_t &tcp, unsigned expected) {
  // The NS bit (lowest bit of byte 12) counts as bit 8.
  const unsigned flags = tcp.flags() | (tcp.data()[12] & 1u) << 8;
  if ((flags & 0x12) != expected)
    throw invalid_packet_t("tcp flags " + std::to_string(flags) + " do not match " + std::to_string(expected) + "/" +
                           std::to_string(0x12));
}

} // namespace fw::service
