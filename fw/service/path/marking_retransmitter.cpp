#include "fw/service/path/marking_retransmitter.hpp"

#include <boost/system/system_error.hpp>

#include "fw/net/checksum.hpp"

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
  // The copy holds the SYN's headers only. Data that came with the SYN (TCP Fast Open) is not sent, so
  // the lengths and checksums are made to match what is; the client sends its data again once the
  // acceptor has answered.
  fw::net::finish_tcp_packet(packet.get(), length);
  send(destination, std::move(packet), length);
}

void marking_retransmitter_t::retransmit(const boost::asio::ip::address &destination,
                                         fw::net::raw_sender_t::buffer_t packet, std::size_t length) {
  // As above; the kernel completes nothing of an IPv6 header, so the payload length is set here too.
  fw::net::finish_tcp_packet(packet.get(), length);
  send(destination, std::move(packet), length);
}

} // namespace fw::service
