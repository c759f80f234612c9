#include "fw/linux/nftables/expr/meta.hpp"

#include "fw/linux/nftables/expr/key_register.hpp"

namespace fw::linux::nftables::expr {

namespace {
constexpr std::uint16_t attr_sreg = 3;
}

void meta_t::build(utils::nft_msg_t &message) const { key_register::build(message, name, attr_sreg, key, dreg, sreg); }

meta_t meta_t::parse(const std::uint8_t *data, std::size_t length) {
  meta_t e;
  key_register::parse(data, length, attr_sreg, e.key, e.dreg, e.sreg);
  return e;
}

} // namespace fw::linux::nftables::expr
