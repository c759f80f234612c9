#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "fw/linux/netlink/compound_attribute.hpp"

namespace fw::linux::sock_diag {

// One answer of an IPv4 socket diagnostics dump: the 72-byte inet_diag_msg followed by attributes.
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
  const netlink::compound_attribute_t &attributes() const noexcept { return attributes_; }

private:
  endpoint_t source_;
  endpoint_t destination_;
  std::uint32_t inode_ = 0;
  netlink::compound_attribute_t attributes_;
};

} // namespace fw::linux::sock_diag
