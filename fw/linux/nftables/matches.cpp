#include "fw/linux/nftables/matches.hpp"

#include <arpa/inet.h>

#include <cstring>

#include "fw/linux/nftables/constants.hpp"

namespace fw::linux::nftables::matches {

using namespace expr;

namespace {

immediate_t zero(std::uint32_t reg) { return {reg, data_t::of_u32(0)}; }

bitwise_t mask_xor(std::uint32_t reg, data_t mask, data_t xor_, std::uint32_t len) {
  return {reg, reg, len, std::move(mask), std::move(xor_)};
}

cmp_t compare(std::uint32_t reg, bool equal, data_t value) { return {reg, equal ? cmp_eq : cmp_neq, std::move(value)}; }

template <class Load>
void masked(rule_builder_t &rule, std::uint32_t value, std::uint32_t mask, bool equal) {
  rule.add(zero(reg_a))
      .add(Load::load(meta_mark, reg_a))
      .add(mask_xor(reg_a, data_t::of_u32(mask), data_t::of_u32(0), 4))
      .add(compare(reg_a, equal, data_t::of_u32(value)));
}

template <class Access> void set_masked(rule_builder_t &rule, std::uint32_t value, std::uint32_t mask) {
  rule.add(Access::load(meta_mark, reg_a))
      .add(mask_xor(reg_a, data_t::of_u32(~mask), data_t::of_u32(value), 4))
      .add(Access::set(meta_mark, reg_a));
}

} // namespace

void mark(rule_builder_t &rule, std::uint32_t value, std::uint32_t mask, bool equal) {
  masked<meta_t>(rule, value, mask, equal);
}

void ctmark(rule_builder_t &rule, std::uint32_t value, std::uint32_t mask, bool equal) {
  masked<ct_t>(rule, value, mask, equal);
}

void l4proto_tcp(rule_builder_t &rule) {
  rule.add(zero(reg_a)).add(meta_t::load(meta_l4proto, reg_a)).add(compare(reg_a, true, data_t::of_u32(IPPROTO_TCP)));
}

void tcpflags(rule_builder_t &rule, std::uint8_t mask, std::uint8_t value) {
  rule.add(zero(reg_flags))
      .add(payload_t{reg_flags, payload_transport, 13, 1})
      .add(mask_xor(reg_flags, data_t::of_bytes({mask}), data_t::of_bytes({0}), 1))
      .add(compare(reg_flags, true, data_t::of_bytes({value})));
}

void iif(rule_builder_t &rule, std::uint32_t index) {
  rule.add(meta_t::load(meta_iif, reg_a)).add(compare(reg_a, true, data_t::of_u32(index)));
}

void oif(rule_builder_t &rule, std::uint32_t index) {
  rule.add(meta_t::load(meta_oif, reg_a)).add(compare(reg_a, true, data_t::of_u32(index)));
}

void ipv4_only(rule_builder_t &rule) {
  rule.add(meta_t::load(meta_nfproto, reg_a)).add(compare(reg_a, true, data_t::of_u32(family_ipv4)));
}

void ipv6_only(rule_builder_t &rule) {
  rule.add(meta_t::load(meta_nfproto, reg_a)).add(compare(reg_a, true, data_t::of_u32(family_ipv6)));
}

void set_mark_bit(rule_builder_t &rule, std::uint32_t bit) { set_masked<meta_t>(rule, bit, bit); }

void set_ctmark(rule_builder_t &rule, std::uint32_t value, std::uint32_t mask) { set_masked<ct_t>(rule, value, mask); }

void tproxy(rule_builder_t &rule, std::uint32_t address, std::uint16_t port) {
  const std::uint16_t port_be = htons(port);
  std::vector<std::uint8_t> port_bytes(2);
  std::memcpy(port_bytes.data(), &port_be, 2);
  rule.add(zero(reg_a))
      .add(zero(reg_b))
      .add(immediate_t{reg_a, data_t::of_u32(address)})
      .add(immediate_t{reg_b, data_t::of_bytes(std::move(port_bytes))})
      .add(tproxy_t{reg_a, family_ipv4, reg_b});
}

void tproxy6(rule_builder_t &rule, const std::array<std::uint8_t, 16> &address, std::uint16_t port) {
  constexpr std::uint32_t reg_address = 8, reg_port = 12; // NFT_REG32_00 (four registers), NFT_REG32_04
  const std::uint16_t port_be = htons(port);
  std::vector<std::uint8_t> port_bytes(2);
  std::memcpy(port_bytes.data(), &port_be, 2);
  rule.add(immediate_t{reg_address, data_t::of_bytes(std::vector<std::uint8_t>(address.begin(), address.end()))})
      .add(immediate_t{reg_port, data_t::of_bytes(std::move(port_bytes))})
      .add(tproxy_t{reg_address, family_ipv6, reg_port});
}

void queue(rule_builder_t &rule, std::uint16_t number) { rule.add(queue_t{number, queue_bypass}); }

void counter(rule_builder_t &rule) { rule.add(counter_t{}); }

void accept(rule_builder_t &rule) { rule.add(immediate_t{reg_verdict, data_t::of_verdict(verdict_accept)}); }

} // namespace fw::linux::nftables::matches
