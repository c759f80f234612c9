#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fw/linux/nftables/expr/data.hpp"

namespace fw::linux::nftables::expr {

// "bitwise": dreg = (sreg AND mask) XOR xor over len bytes.
struct bitwise_t {
  static constexpr const char *name = "bitwise";
  std::optional<std::uint32_t> sreg; // 1
  std::optional<std::uint32_t> dreg; // 2
  std::optional<std::uint32_t> len;  // 3
  std::optional<data_t> mask;        // 4
  std::optional<data_t> xor_;        // 5

  void build(utils::nft_msg_t &message) const;
  static bitwise_t parse(const std::uint8_t *data, std::size_t length);
  bool operator==(const bitwise_t &) const = default;
};

} // namespace fw::linux::nftables::expr
