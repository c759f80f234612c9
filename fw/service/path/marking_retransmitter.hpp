#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/asio/io_context.hpp>

#include "fw/net/raw_sender.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/util/service.hpp"

namespace fw::service {

// Sends a client's SYN again from a raw socket marked so that the kernel delivers it to the
// transparent acceptor.
class marking_retransmitter_t : public fw::util::service_t, private fw::net::raw_sender_t {
public:
  marking_retransmitter_t(boost::asio::io_context &io, const marks_t &marks);

  // Marks the raw socket with the local delivery and client packets marks when they changed.
  void start() override;

  // Queues the packet (the IPv4 and TCP headers of the SYN, length bytes) for the destination address
  // (network byte order), its lengths and checksums set to match those bytes.
  void retransmit(std::uint32_t destination, fw::net::raw_sender_t::buffer_t packet, std::size_t length);
  // The same for an IPv4 or IPv6 destination (the packet of the same family).
  void retransmit(const boost::asio::ip::address &destination, fw::net::raw_sender_t::buffer_t packet,
                  std::size_t length);

private:
  const marks_t &marks_;
  std::uint32_t mark_ = 0;
};

} // namespace fw::service
