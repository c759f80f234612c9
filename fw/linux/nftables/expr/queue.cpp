#include "fw/linux/nftables/expr/queue.hpp"

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/expr/element.hpp"

namespace fw::linux::nftables::expr {

namespace {
constexpr std::uint16_t attr_number = 1, attr_flags = 3;
}

void queue_t::build(utils::nft_msg_t &message) const {
  element_writer_t element(message, name);
  if (number) message.put_be16(attr_number, *number);
  if (flags) message.put_be16(attr_flags, *flags);
  element.close();
}

queue_t queue_t::parse(const std::uint8_t *data, std::size_t length) {
  queue_t e;
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    if (type == attr_number) e.number = attributes::read_be16(p, n);
    else if (type == attr_flags) e.flags = attributes::read_be16(p, n);
  });
  return e;
}

} // namespace fw::linux::nftables::expr
