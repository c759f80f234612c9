#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fw/linux/nftables/utils/nft_msg.hpp"

namespace fw::linux::nftables::expr {

// The nested data of an expression (NFTA_DATA_*): a value, or a verdict with its code and, for jumps,
// the target chain.
struct data_t {
  std::vector<std::uint8_t> value;
  std::optional<std::uint32_t> verdict;
  std::optional<std::string> chain;

  // A value of 4 bytes in host order (marks, interface indexes, protocol numbers).
  static data_t of_u32(std::uint32_t value);
  static data_t of_bytes(std::vector<std::uint8_t> bytes);
  static data_t of_verdict(std::uint32_t code);

  // The value's first four bytes in host order, missing bytes taken as 0.
  std::uint32_t as_u32() const noexcept;

  void build(utils::nft_msg_t &message, std::uint16_t type) const;
  // The attributes inside the nest: 1 value or 2 verdict (1 code, 2 chain); any other type raises
  // "table_type != atr type".
  static data_t parse(const std::uint8_t *data, std::size_t length);

  bool operator==(const data_t &) const = default;
};

} // namespace fw::linux::nftables::expr
