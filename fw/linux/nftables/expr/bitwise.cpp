#include "fw/linux/nftables/expr/bitwise.hpp"

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/expr/element.hpp"

namespace fw::linux::nftables::expr {

namespace {
constexpr std::uint16_t attr_sreg = 1, attr_dreg = 2, attr_len = 3, attr_mask = 4, attr_xor = 5;
}

void bitwise_t::build(utils::nft_msg_t &message) const {
  element_writer_t element(message, name);
  if (sreg) message.put_be32(attr_sreg, *sreg);
  if (dreg) message.put_be32(attr_dreg, *dreg);
  if (len) message.put_be32(attr_len, *len);
  if (mask) mask->build(message, attr_mask);
  if (xor_) xor_->build(message, attr_xor);
  element.close();
}

bitwise_t bitwise_t::parse(const std::uint8_t *data, std::size_t length) {
  bitwise_t e;
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    switch (type) {
    case attr_sreg: e.sreg = attributes::read_be32(p, n); break;
    case attr_dreg: e.dreg = attributes::read_be32(p, n); break;
    case attr_len: e.len = attributes::read_be32(p, n); break;
    case attr_mask: e.mask = data_t::parse(p, n); break;
    case attr_xor: e.xor_ = data_t::parse(p, n); break;
    default: break;
    }
  });
  return e;
}

} // namespace fw::linux::nftables::expr
