#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>

#include "fw/net/endpoint.hpp"
#include "fw/net/ip_header.hpp"
#include "fw/net/tcp_header.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/service/path/transparent_acceptor.hpp"
#include "fw/util/service.hpp"

namespace fw::service {

// Checks that a queued packet is one the kernel rules are meant to queue. A packet that fails shows
// that the rules are wrong.
class packet_validator_t : public fw::util::service_t {
public:
  class invalid_packet_t : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
  };

  packet_validator_t(const marks_t &marks, const transparent_acceptor_t &acceptor);

  // Takes the bypass marks and the listening endpoint; runs after the acceptor has started.
  void start() override;

  // A client's SYN: no bypass mark, SYN without ACK, not aimed at a transparent listening socket.
  void validate_client_packet(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp,
                              std::uint32_t mark) const;
  // A server's answer: no bypass mark, SYN and ACK.
  void validate_server_answer(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp,
                              std::uint32_t mark) const;

private:
  void check_mark(std::uint32_t mark) const;
  static void check_flags(const fw::net::tcp_header_t &tcp, unsigned expected);
  static void check_data_offset(const fw::net::tcp_header_t &tcp);

  const marks_t &marks_;
  const transparent_acceptor_t &acceptor_;
  std::uint32_t expected_mark_ = 0;
  std::uint32_t mark_mask_ = 0;
  fw::net::endpoint_t listening_;
  std::optional<fw::net::endpoint_t> listening_ipv6_;
};

} // namespace fw::service
