#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "fw/linux/netlink/compound_attribute.hpp"

namespace fw::linux::rtnetlink::routing {

// A routing message (routes and policy-routing rules): the 12-byte header (the kernel's rtmsg; a rule's
// fib_rule_hdr has the same layout with protocol/scope reserved and type as its action) followed by
// attributes in host byte order.
class message_t {
public:
  using bytes_t = std::vector<std::uint8_t>;
  static constexpr std::size_t header_size = 12;

  struct header_t {
    std::uint8_t family = 0;
    std::uint8_t dst_len = 0; // destination prefix length
    std::uint8_t src_len = 0; // source prefix length
    std::uint8_t tos = 0;
    std::uint8_t table = 0;
    std::uint8_t protocol = 0;
    std::uint8_t scope = 0;
    std::uint8_t type = 0;
    std::uint32_t flags = 0;

    bool operator==(const header_t &) const = default;
  };

  class parse_error_t : public std::runtime_error {
  public:
    explicit parse_error_t(const std::string &detail);
  };

  message_t() = default;
  explicit message_t(const header_t &header) : header_(header) {}

  // A payload of 11 bytes or less raises parse_error_t "Truncated message".
  static message_t parse(const void *data, std::size_t length);

  header_t &header() noexcept { return header_; }
  const header_t &header() const noexcept { return header_; }
  netlink::compound_attribute_t &attributes() noexcept { return attributes_; }
  const netlink::compound_attribute_t &attributes() const noexcept { return attributes_; }

  // Header bytes followed by the serialised attributes.
  bytes_t serialise() const;

  bool operator==(const message_t &other) const = default;

private:
  header_t header_;
  netlink::compound_attribute_t attributes_;
};

} // namespace fw::linux::rtnetlink::routing
