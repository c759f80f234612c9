#include "fw/linux/nftables/expr/ct.hpp"

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/expr/element.hpp"

namespace fw::linux::nftables::expr {

namespace {
constexpr std::uint16_t attr_dreg = 1, attr_key = 2, attr_sreg = 4;
}

void ct_t::build(utils::nft_msg_t &message) const {
  element_writer_t element(message, name);
  if (key) message.put_be32(attr_key, *key);
  if (dreg) message.put_be32(attr_dreg, *dreg);
  if (sreg) message.put_be32(attr_sreg, *sreg);
  element.close();
}

ct_t ct_t::parse(const std::uint8_t *data, std::size_t length) {
  ct_t e;
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    if (type == attr_key) e.key = attributes::read_be32(p, n);
    else if (type == attr_dreg) e.dreg = attributes::read_be32(p, n);
    else if (type == attr_sreg) e.sreg = attributes::read_be32(p, n);
  });
  return e;
}

} // namespace fw::linux::nftables::expr
