#include "fw/linux/rtnetlink/routing/message.hpp"

#include <cstring>

namespace fw::linux::rtnetlink::routing {

message_t::parse_error_t::parse_error_t(const std::string &detail)
    : std::runtime_error("Cannot parse rtnetlink message: " + detail) {}

message_t message_t::parse(const void *data, std::size_t length) {
  if (length < header_size) throw parse_error_t("Truncated message");
  auto bytes = static_cast<const std::uint8_t *>(data);
  message_t message;
  header_t &h = message.header_;
  h.family = bytes[0];
  h.dst_len = bytes[1];
  h.src_len = bytes[2];
  h.tos = bytes[3];
  h.table = bytes[4];
  h.protocol = bytes[5];
  h.scope = bytes[6];
  h.type = bytes[7];
  std::memcpy(&h.flags, bytes + 8, 4);
  message.attributes_ = netlink::compound_attribute_t::parse(bytes + header_size, length - header_size);
  return message;
}

message_t::bytes_t message_t::serialise() const {
  bytes_t out;
  out.reserve(header_size + attributes_.serialised_size());
  const header_t &h = header_;
  out.insert(out.end(), {h.family, h.dst_len, h.src_len, h.tos, h.table, h.protocol, h.scope, h.type});
  const auto *flags = reinterpret_cast<const std::uint8_t *>(&h.flags);
  out.insert(out.end(), flags, flags + 4);
  attributes_.serialise_to(out);
  return out;
}

} // namespace fw::linux::rtnetlink::routing
