#include "fw/linux/nftables/expr/counter.hpp"

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/expr/element.hpp"

namespace fw::linux::nftables::expr {

namespace {
constexpr std::uint16_t attr_bytes = 1, attr_packets = 2;
}

void counter_t::build(utils::nft_msg_t &message) const {
  element_writer_t element(message, name);
  if (bytes) message.put_be64(attr_bytes, *bytes);
  if (packets) message.put_be64(attr_packets, *packets);
  element.close();
}

counter_t counter_t::parse(const std::uint8_t *data, std::size_t length) {
  counter_t e;
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    if (type == attr_bytes) e.bytes = attributes::read_be64(p, n);
    else if (type == attr_packets) e.packets = attributes::read_be64(p, n);
  });
  return e;
}

} // namespace fw::linux::nftables::expr
