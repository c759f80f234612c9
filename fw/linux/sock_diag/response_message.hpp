#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "fw/linux/netlink/compound_attribute.hpp"

namespace fw::linux::sock_diag {

// One answer of a socket diagnostics request or dump: the 72-byte inet_diag_msg followed by attributes.
// Addresses are read by the message's family (AF_INET or AF_INET6).
class response_message_t {
public:
  using endpoint_t = boost::asio::ip::tcp::endpoint;
  static constexpr std::size_t header_size = 72;

  class parse_error_t : public std::runtime_error {
  public:
    explicit parse_error_t(const std::string &detail);
  };

  // Parses a message payload; fewer than 72 bytes raise parse_error_t "Truncated message".
  static response_message_t parse(const void *data, std::size_t length);

  const endpoint_t &source() const noexcept { return source_; }
  const endpoint_t &destination() const noexcept { return destination_; }
  std::uint32_t inode() const noexcept { return inode_; }
  // TCP state (1 ESTABLISHED, 2 SYN_SENT, 10 LISTEN, ...).
  std::uint8_t state() const noexcept { return state_; }
  // The kernel's never-reused socket cookie (the value BPF programs get from bpf_get_socket_cookie).
  std::uint64_t cookie() const noexcept { return cookie_; }
  const netlink::compound_attribute_t &attributes() const noexcept { return attributes_; }

private:
  endpoint_t source_;
  endpoint_t destination_;
  std::uint32_t inode_ = 0;
  std::uint8_t state_ = 0;
  std::uint64_t cookie_ = 0;
  netlink::compound_attribute_t attributes_;
};

} // namespace fw::linux::sock_diag
