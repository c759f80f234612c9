#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "fw/linux/netlink/compound_attribute.hpp"

namespace fw::linux::nfnetlink {

// The netfilter subsystems' message: a 4-byte header (family, version, resource id in network order
// as on the wire) followed by attributes.
class message_t {
public:
  using bytes_t = std::vector<std::uint8_t>;
  static constexpr std::size_t header_size = 4;

  class parse_error_t : public std::runtime_error {
  public:
    explicit parse_error_t(const std::string &detail);
  };

  // Version 0 and an empty attribute tree; resource_id in host order.
  message_t(std::uint8_t family, std::uint16_t resource_id);

  // A payload shorter than the header raises parse_error_t "Truncated message"; malformed attributes
  // raise the attribute errors.
  static message_t parse(const void *data, std::size_t length);

  std::uint8_t family() const noexcept { return family_; }
  std::uint8_t version() const noexcept { return version_; }
  // Host order.
  std::uint16_t resource_id() const noexcept;
  // As received (network order).
  std::uint16_t raw_resource_id() const noexcept { return resource_id_; }

  netlink::compound_attribute_t &attributes() noexcept { return attributes_; }
  const netlink::compound_attribute_t &attributes() const noexcept { return attributes_; }

  // Header bytes followed by the serialised attributes.
  bytes_t serialise() const;

  // The message type of a subsystem's message: (subsystem << 8) | message.
  static constexpr std::uint16_t type(std::uint8_t subsystem, std::uint8_t message) noexcept {
    return static_cast<std::uint16_t>((subsystem << 8) | message);
  }

  bool operator==(const message_t &other) const = default;

private:
  message_t() = default;

  std::uint8_t family_ = 0;
  std::uint8_t version_ = 0;
  std::uint16_t resource_id_ = 0; // network order
  netlink::compound_attribute_t attributes_;
};

} // namespace fw::linux::nfnetlink
