#include "fw/linux/nfnetlink/message.hpp"

#include <arpa/inet.h>

#include <cstring>

namespace fw::linux::nfnetlink {

message_t::parse_error_t::parse_error_t(const std::string &detail)
    : std::runtime_error("Cannot parse nfnetlink message: " + detail) {}

message_t::message_t(std::uint8_t family, std::uint16_t resource_id)
    : family_(family), version_(0), resource_id_(htons(resource_id)) {}

message_t message_t::parse(const void *data, std::size_t length) {
  if (length < header_size) throw parse_error_t("Truncated message");
  auto bytes = static_cast<const std::uint8_t *>(data);
  message_t message;
  message.family_ = bytes[0];
  message.version_ = bytes[1];
  std::memcpy(&message.resource_id_, bytes + 2, 2);
  message.attributes_ = netlink::compound_attribute_t::parse(bytes + header_size, length - header_size);
  return message;
}

std::uint16_t message_t::resource_id() const noexcept { return ntohs(resource_id_); }

message_t::bytes_t message_t::serialise() const {
  bytes_t out;
  out.reserve(header_size + attributes_.serialised_size());
  out.push_back(family_);
  out.push_back(version_);
  const auto *id = reinterpret_cast<const std::uint8_t *>(&resource_id_);
  out.insert(out.end(), id, id + 2);
  attributes_.serialise_to(out);
  return out;
}

} // namespace fw::linux::nfnetlink
