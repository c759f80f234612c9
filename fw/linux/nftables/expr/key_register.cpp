#include "fw/linux/nftables/expr/key_register.hpp"

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/expr/element.hpp"

namespace fw::linux::nftables::expr::key_register {

namespace {
constexpr std::uint16_t attr_dreg = 1, attr_key = 2;
}

void build(utils::nft_msg_t &message, const char *name, std::uint16_t sreg_attr, const std::optional<std::uint32_t> &key,
           const std::optional<std::uint32_t> &dreg, const std::optional<std::uint32_t> &sreg) {
  element_writer_t element(message, name);
  if (key) message.put_be32(attr_key, *key);
  if (dreg) message.put_be32(attr_dreg, *dreg);
  if (sreg) message.put_be32(sreg_attr, *sreg);
  element.close();
}

void parse(const std::uint8_t *data, std::size_t length, std::uint16_t sreg_attr, std::optional<std::uint32_t> &key,
           std::optional<std::uint32_t> &dreg, std::optional<std::uint32_t> &sreg) {
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    if (type == attr_key) key = attributes::read_be32(p, n);
    else if (type == attr_dreg) dreg = attributes::read_be32(p, n);
    else if (type == sreg_attr) sreg = attributes::read_be32(p, n);
  });
}

} // namespace fw::linux::nftables::expr::key_register
