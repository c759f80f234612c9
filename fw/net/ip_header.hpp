#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include <arpa/inet.h>

#include <boost/asio/ip/address.hpp>

#include "fw/net/ipv4_header.hpp"
#include "fw/net/ipv6_header.hpp"

namespace fw::net {

// The network-layer header of a queued TCP packet, IPv4 or IPv6 (told apart by the version nibble): a
// read-only view over the packet bytes. For IPv6 the header length counts the extension headers that
// come before the TCP header. The IP security option exists only in IPv4 options; IPv6 has none.
class ip_header_t {
public:
  // An IPv4 header: its length is its own.
  ip_header_t(const ipv4_header_t &ipv4) noexcept // NOLINT: implicit on purpose
      : data_(ipv4.data()), length_(ipv4.header_length()), ipv6_(false) {}
  // An IPv6 header followed by extension headers, length bytes in all.
  static ip_header_t ipv6(const void *data, std::size_t length) noexcept { return ip_header_t(data, length); }
  // A header copied earlier from a view of either kind, length bytes long: the version nibble tells.
  static ip_header_t copied(const void *data, std::size_t length) noexcept {
    return (*static_cast<const std::uint8_t *>(data) >> 4) == 6 ? ipv6(data, length) : ip_header_t(ipv4_header_t(data));
  }

  const std::uint8_t *data() const noexcept { return data_; }
  bool is_ipv6() const noexcept { return ipv6_; }
  std::size_t header_length() const noexcept { return length_; }

  boost::asio::ip::address source() const noexcept { return address_at(is_ipv6() ? 8 : 12); }
  boost::asio::ip::address destination() const noexcept { return address_at(is_ipv6() ? 24 : 16); }

  // The IPv4 view of an IPv4 header.
  ipv4_header_t ipv4() const noexcept { return ipv4_header_t(data_); }

  // IPv4 options (bytes 20 up to the header length); always empty for IPv6.
  std::span<const std::uint8_t> options() const noexcept {
    return is_ipv6() ? std::span<const std::uint8_t>() : ipv4_header_t(data_).options();
  }

private:
  ip_header_t(const void *data, std::size_t length) noexcept
      : data_(static_cast<const std::uint8_t *>(data)), length_(length), ipv6_(true) {}

  boost::asio::ip::address address_at(std::size_t offset) const noexcept {
    if (is_ipv6()) {
      boost::asio::ip::address_v6::bytes_type bytes;
      std::memcpy(bytes.data(), data_ + offset, bytes.size());
      return boost::asio::ip::address_v6(bytes);
    }
    std::uint32_t value;
    std::memcpy(&value, data_ + offset, 4);
    return boost::asio::ip::address_v4(ntohl(value));
  }

  const std::uint8_t *data_;
  std::size_t length_;
  bool ipv6_;
};

} // namespace fw::net
