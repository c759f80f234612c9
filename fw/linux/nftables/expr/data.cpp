#include "fw/linux/nftables/expr/data.hpp"

#include <cstring>

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/constants.hpp"

namespace fw::linux::nftables::expr {

data_t data_t::of_u32(std::uint32_t value) {
  data_t d;
  d.value.resize(4);
  std::memcpy(d.value.data(), &value, 4);
  return d;
}

data_t data_t::of_bytes(std::vector<std::uint8_t> bytes) {
  data_t d;
  d.value = std::move(bytes);
  return d;
}

data_t data_t::of_verdict(std::uint32_t code) {
  data_t d;
  d.verdict = code;
  return d;
}

std::uint32_t data_t::as_u32() const noexcept {
  std::uint32_t v = 0;
  if (!value.empty()) std::memcpy(&v, value.data(), value.size() < 4 ? value.size() : 4);
  return v;
}

void data_t::build(utils::nft_msg_t &message, std::uint16_t type) const {
  const std::size_t outer = message.nest_begin(type);
  if (verdict) {
    const std::size_t inner = message.nest_begin(data_attr::verdict);
    message.put_be32(verdict_attr::code, *verdict);
    if (chain) message.put_string(verdict_attr::chain, *chain);
    message.nest_end(inner);
  } else {
    message.put(data_attr::value, value.data(), value.size());
  }
  message.nest_end(outer);
}

data_t data_t::parse(const std::uint8_t *data, std::size_t length) {
  data_t d;
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    if (type == data_attr::value) {
      d.value.assign(p, p + n);
      return;
    }
    attributes::expect_type(type, data_attr::verdict);
    attributes::walk(p, n, [&](std::uint16_t inner, const std::uint8_t *q, std::size_t m) {
      if (inner == verdict_attr::code) {
        d.verdict = attributes::read_be32(q, m);
        return;
      }
      attributes::expect_type(inner, verdict_attr::chain);
      d.chain = attributes::read_string(q, m);
    });
  });
  return d;
}

} // namespace fw::linux::nftables::expr
