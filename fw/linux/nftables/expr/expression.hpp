#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "fw/linux/nftables/expr/bitwise.hpp"
#include "fw/linux/nftables/expr/cmp.hpp"
#include "fw/linux/nftables/expr/counter.hpp"
#include "fw/linux/nftables/expr/ct.hpp"
#include "fw/linux/nftables/expr/immediate.hpp"
#include "fw/linux/nftables/expr/meta.hpp"
#include "fw/linux/nftables/expr/payload.hpp"
#include "fw/linux/nftables/expr/queue.hpp"
#include "fw/linux/nftables/expr/tproxy.hpp"

namespace fw::linux::nftables::expr {

// An expression of a kind the daemon does not read: only its name is kept.
struct other_t {
  std::string name;
  bool operator==(const other_t &) const = default;
};

using expression_t =
    std::variant<immediate_t, meta_t, ct_t, bitwise_t, cmp_t, payload_t, counter_t, queue_t, tproxy_t, other_t>;

// One element of a rule's expression list (the contents of the list element): 1 the name, 2 the data.
expression_t parse_expression(const std::uint8_t *data, std::size_t length);

void build(utils::nft_msg_t &message, const expression_t &expression);

} // namespace fw::linux::nftables::expr
