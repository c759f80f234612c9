#include "fw/linux/nftables/expr/payload.hpp"

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/expr/element.hpp"

namespace fw::linux::nftables::expr {

namespace {
constexpr std::uint16_t attr_dreg = 1, attr_base = 2, attr_offset = 3, attr_len = 4;
}

void payload_t::build(utils::nft_msg_t &message) const {
  element_writer_t element(message, name);
  if (dreg) message.put_be32(attr_dreg, *dreg);
  if (base) message.put_be32(attr_base, *base);
  if (offset) message.put_be32(attr_offset, *offset);
  if (len) message.put_be32(attr_len, *len);
  element.close();
}

payload_t payload_t::parse(const std::uint8_t *data, std::size_t length) {
  payload_t e;
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    switch (type) {
    case attr_dreg: e.dreg = attributes::read_be32(p, n); break;
    case attr_base: e.base = attributes::read_be32(p, n); break;
    case attr_offset: e.offset = attributes::read_be32(p, n); break;
    case attr_len: e.len = attributes::read_be32(p, n); break;
    default: break;
    }
  });
  return e;
}

} // namespace fw::linux::nftables::expr
