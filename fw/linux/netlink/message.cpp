#include "fw/linux/netlink/message.hpp"

#include <limits>
#include <stdexcept>

namespace fw::linux::netlink {

message_t::message_t(std::uint16_t type, std::uint16_t flags, bytes_t payload, std::uint32_t sequence,
                     std::uint32_t port_id)
    : payload_(std::move(payload)) {
  if (payload_.size() > std::numeric_limits<std::uint32_t>::max() - header_size)
    throw std::length_error("netlink: message too long");
  header_.length = static_cast<std::uint32_t>(header_size + payload_.size());
  header_.type = type;
  header_.flags = flags;
  header_.sequence = sequence;
  header_.port_id = port_id;
}

std::array<std::uint8_t, header_size> message_t::header_bytes() const noexcept {
  std::array<std::uint8_t, header_size> bytes;
  header_.write(bytes.data());
  return bytes;
}

void message_t::append_to(bytes_t &out) const {
  const auto header = header_bytes();
  out.insert(out.end(), header.begin(), header.end());
  out.insert(out.end(), payload_.begin(), payload_.end());
  out.insert(out.end(), align4(header_.length) - header_.length, std::uint8_t{0});
}

} // namespace fw::linux::netlink
