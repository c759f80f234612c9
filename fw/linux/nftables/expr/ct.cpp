#include "fw/linux/nftables/expr/ct.hpp"

#include "fw/linux/nftables/expr/key_register.hpp"

namespace fw::linux::nftables::expr {

namespace {
constexpr std::uint16_t attr_sreg = 4;
}

void ct_t::build(utils::nft_msg_t &message) const { key_register::build(message, name, attr_sreg, key, dreg, sreg); }

ct_t ct_t::parse(const std::uint8_t *data, std::size_t length) {
  ct_t e;
  key_register::parse(data, length, attr_sreg, e.key, e.dreg, e.sreg);
  return e;
}

} // namespace fw::linux::nftables::expr
