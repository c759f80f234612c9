#include "fw/service/marking_retransmitter.hpp"

#include <boost/system/system_error.hpp>

#include "fw/net/ipv6_header.hpp"

namespace fw::service {

marking_retransmitter_t::marking_retransmitter_t(boost::asio::io_context &io, const marks_t &marks)
    : fw::net::raw_sender_t(io), marks_(marks) {}

void marking_retransmitter_t::start() {
  const std::uint32_t mark = marks_.local_delivery_mark() | marks_.client_packets_mark();
  if (mark == mark_) return;
  if (auto error = set_mark(mark))
    throw boost::system::system_error(error, "Marking retransmitter: cannot mark raw socket");
  mark_ = mark;
}

void marking_retransmitter_t::retransmit(std::uint32_t destination, fw::net::raw_sender_t::buffer_t packet,
                                         std::size_t length) {
  send(destination, std::move(packet), length);
}

void marking_retransmitter_t::retransmit(const boost::asio::ip::address &destination,
                                         fw::net::raw_sender_t::buffer_t packet, std::size_t length) {
  if (destination.is_v6() && length >= fw::net::ipv6_header_t::size) {
    const std::size_t payload = length - fw::net::ipv6_header_t::size;
    packet[4] = static_cast<std::uint8_t>(payload >> 8);
    packet[5] = static_cast<std::uint8_t>(payload);
  }
  send(destination, std::move(packet), length);
}

} // namespace fw::service
