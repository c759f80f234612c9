#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fw/linux/nftables/expr/data.hpp"

namespace fw::linux::nftables::expr {

// "immediate": loads a constant or a verdict into a register.
struct immediate_t {
  static constexpr const char *name = "immediate";
  std::optional<std::uint32_t> dreg; // 1
  std::optional<data_t> data;        // 2

  void build(utils::nft_msg_t &message) const;
  static immediate_t parse(const std::uint8_t *data, std::size_t length);
  bool operator==(const immediate_t &) const = default;
};

} // namespace fw::linux::nftables::expr
