#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fw/linux/nftables/expr/data.hpp"

namespace fw::linux::nftables::expr {

// "cmp": compares a register with a value (operation 0 equal, 1 not equal, ...); the rule stops when
// the comparison fails.
struct cmp_t {
  static constexpr const char *name = "cmp";
  std::optional<std::uint32_t> sreg; // 1
  std::optional<std::uint32_t> op;   // 2
  std::optional<data_t> data;        // 3

  void build(utils::nft_msg_t &message) const;
  static cmp_t parse(const std::uint8_t *data, std::size_t length);
  bool operator==(const cmp_t &) const = default;
};

} // namespace fw::linux::nftables::expr
