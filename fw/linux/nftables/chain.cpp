#include "fw/linux/nftables/chain.hpp"

#include "fw/linux/nfnetlink/message.hpp"
#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/constants.hpp"

namespace fw::linux::nftables {

chain_t chain_t::decode(const std::uint8_t *payload, std::size_t length) {
  if (length < 4) throw nfnetlink::message_t::parse_error_t("Truncated message");
  chain_t chain;
  chain.family = payload[0];
  attributes::walk(payload + 4, length - 4, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    switch (type) {
    case chain_attr::table: chain.table = attributes::read_string(p, n); break;
    case chain_attr::name: chain.name = attributes::read_string(p, n); break;
    case chain_attr::type: chain.type = attributes::read_string(p, n); break;
    case chain_attr::hook: {
      std::optional<std::uint32_t> number, priority;
      attributes::walk(p, n, [&](std::uint16_t inner, const std::uint8_t *q, std::size_t m) {
        if (inner == hook_attr::number) number = attributes::read_be32(q, m);
        else if (inner == hook_attr::priority) priority = attributes::read_be32(q, m);
      });
      if (number) chain.hook = hook_t{*number, static_cast<std::int32_t>(priority.value_or(0))};
      break;
    }
    default: break;
    }
  });
  return chain;
}

} // namespace fw::linux::nftables
