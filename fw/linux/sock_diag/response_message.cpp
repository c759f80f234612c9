#include "fw/linux/sock_diag/response_message.hpp"

#include <array>
#include <cstring>

namespace fw::linux::sock_diag {

namespace {

boost::asio::ip::tcp::endpoint endpoint_at(const std::uint8_t *bytes, std::size_t port_offset,
                                           std::size_t address_offset) {
  const auto port = static_cast<std::uint16_t>(bytes[port_offset] << 8 | bytes[port_offset + 1]);
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
  std::memcpy(&message.inode_, bytes + 68, 4);
  message.attributes_ = netlink::compound_attribute_t::parse(bytes + header_size, length - header_size);
  return message;
}

} // namespace fw::linux::sock_diag
