#include "fw/linux/sock_diag/response_message.hpp"

#include <array>
#include <cstring>

#include <sys/socket.h>

namespace fw::linux::sock_diag {

namespace {

// An IPv6 socket's IPv4-mapped address is given as the IPv4 address, as the keys hold it.
boost::asio::ip::tcp::endpoint endpoint_at(const std::uint8_t *bytes, std::size_t port_offset,
                                           std::size_t address_offset) {
  const auto port = static_cast<std::uint16_t>(bytes[port_offset] << 8 | bytes[port_offset + 1]);
  if (bytes[0] == AF_INET6) {
    std::array<unsigned char, 16> address;
    std::memcpy(address.data(), bytes + address_offset, 16);
    const boost::asio::ip::address_v6 v6(address);
    if (v6.is_v4_mapped()) return {boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6), port};
    return {v6, port};
  }
  std::array<unsigned char, 4> address;
  std::memcpy(address.data(), bytes + address_offset, 4);
  return {boost::asio::ip::address_v4(address), port};
}

} // namespace

response_message_t::parse_error_t::parse_error_t(const std::string &detail)
    : std::runtime_error("Cannot parse response_message_t: " + detail) {}

response_message_t response_message_t::parse(const void *data, std::size_t length) {
  if (length < header_size) throw parse_error_t("Truncated message");
  const auto bytes = static_cast<const std::uint8_t *>(data);
  response_message_t message;
  message.source_ = endpoint_at(bytes, 4, 8);
  message.destination_ = endpoint_at(bytes, 6, 24);
  message.state_ = bytes[1];
  std::uint32_t cookie[2];
  std::memcpy(cookie, bytes + 44, 8);
  message.cookie_ = std::uint64_t{cookie[1]} << 32 | cookie[0];
  std::memcpy(&message.inode_, bytes + 68, 4);
  message.attributes_ = netlink::compound_attribute_t::parse(bytes + header_size, length - header_size);
  return message;
}

} // namespace fw::linux::sock_diag
