#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/asio/io_context.hpp>

#include "fw/net/ip_header.hpp"
#include "fw/net/raw_sender.hpp"
#include "fw/net/tcp_header.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/util/service.hpp"

namespace fw::service {

// Answers a client's SYN with a TCP reset in the server's name.
class connection_rejector_t : public fw::util::service_t, private fw::net::raw_sender_t {
public:
  struct packet_t {
    fw::net::raw_sender_t::buffer_t bytes;
    std::size_t length = 0;
  };

  connection_rejector_t(boost::asio::io_context &io, const marks_t &marks);

  // Marks the raw socket with the client and server packets marks.
  void start() override;

  // Queues a reset for the SYN whose IP and TCP headers are given; the security option (or null) is
  // copied into the reset's IPv4 options (an IPv6 reset has none).
  void reject(const fw::net::ip_header_t &ip, const std::uint8_t *security_option, const fw::net::tcp_header_t &tcp);

  // The reset (IPv4 header, options, TCP header; or IPv6 header and TCP header) that answers the SYN.
  static packet_t make_reset(const fw::net::ip_header_t &ip, const std::uint8_t *security_option,
                             const fw::net::tcp_header_t &tcp);

private:
  const marks_t &marks_;
};

} // namespace fw::service
