#include "fw/linux/nftables/expr/immediate.hpp"

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/expr/element.hpp"

namespace fw::linux::nftables::expr {

namespace {
constexpr std::uint16_t attr_dreg = 1, attr_data = 2;
}

void immediate_t::build(utils::nft_msg_t &message) const {
  element_writer_t element(message, name);
  if (dreg) message.put_be32(attr_dreg, *dreg);
  if (data) data->build(message, attr_data);
  element.close();
}

immediate_t immediate_t::parse(const std::uint8_t *data, std::size_t length) {
  immediate_t e;
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    if (type == attr_dreg) e.dreg = attributes::read_be32(p, n);
    else if (type == attr_data) e.data = data_t::parse(p, n);
  });
  return e;
}

} // namespace fw::linux::nftables::expr
