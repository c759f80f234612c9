#include "fw/linux/nftables/expr/tproxy.hpp"

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/expr/element.hpp"

namespace fw::linux::nftables::expr {

namespace {
constexpr std::uint16_t attr_family = 1, attr_reg_addr = 2, attr_reg_port = 3;
}

void tproxy_t::build(utils::nft_msg_t &message) const {
  element_writer_t element(message, name);
  if (reg_addr) message.put_be32(attr_reg_addr, *reg_addr);
  if (family) message.put_be32(attr_family, *family);
  if (reg_port) message.put_be32(attr_reg_port, *reg_port);
  element.close();
}

tproxy_t tproxy_t::parse(const std::uint8_t *data, std::size_t length) {
  tproxy_t e;
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    if (type == attr_family) e.family = attributes::read_be32(p, n);
    else if (type == attr_reg_addr) e.reg_addr = attributes::read_be32(p, n);
    else if (type == attr_reg_port) e.reg_port = attributes::read_be32(p, n);
  });
  return e;
}

} // namespace fw::linux::nftables::expr
