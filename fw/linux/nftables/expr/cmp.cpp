#include "fw/linux/nftables/expr/cmp.hpp"

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/expr/element.hpp"

namespace fw::linux::nftables::expr {

namespace {
constexpr std::uint16_t attr_sreg = 1, attr_op = 2, attr_data = 3;
}

void cmp_t::build(utils::nft_msg_t &message) const {
  element_writer_t element(message, name);
  if (sreg) message.put_be32(attr_sreg, *sreg);
  if (op) message.put_be32(attr_op, *op);
  if (data) data->build(message, attr_data);
  element.close();
}

cmp_t cmp_t::parse(const std::uint8_t *data, std::size_t length) {
  cmp_t e;
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    if (type == attr_sreg) e.sreg = attributes::read_be32(p, n);
    else if (type == attr_op) e.op = attributes::read_be32(p, n);
    else if (type == attr_data) e.data = data_t::parse(p, n);
  });
  return e;
}

} // namespace fw::linux::nftables::expr
