#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <arpa/inet.h>

#include "fw/linux/netlink/attribute_view.hpp"
#include "fw/linux/nfnetlink/message.hpp"

namespace fw::linux::nfnetlink {

// A non-owning reading of an nfnetlink message for hot receive paths: the same checks and errors as
// message_t::parse, attributes indexed in place without copies.
class message_view_t {
public:
  static message_view_t parse(const void *data, std::size_t length) {
    if (length < message_t::header_size) throw message_t::parse_error_t("Truncated message");
    auto bytes = static_cast<const std::uint8_t *>(data);
    message_view_t view;
    view.family_ = bytes[0];
    view.version_ = bytes[1];
    std::memcpy(&view.resource_id_, bytes + 2, 2);
    view.attributes_ = netlink::attribute_view_t::parse(bytes + message_t::header_size, length - message_t::header_size);
    return view;
  }

  std::uint8_t family() const noexcept { return family_; }
  std::uint8_t version() const noexcept { return version_; }
  std::uint16_t resource_id() const noexcept { return ntohs(resource_id_); }
  const netlink::attribute_view_t &attributes() const noexcept { return attributes_; }

private:
  std::uint8_t family_ = 0;
  std::uint8_t version_ = 0;
  std::uint16_t resource_id_ = 0; // network order
  netlink::attribute_view_t attributes_;
};

} // namespace fw::linux::nfnetlink
