#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fw/linux/nftables/utils/nft_msg.hpp"

namespace fw::linux::nftables::expr {

// "counter": counts packets and bytes; written without data (the kernel starts it at zero), read back
// with the kernel's counts.
struct counter_t {
  static constexpr const char *name = "counter";
  std::optional<std::uint64_t> bytes;   // 1
  std::optional<std::uint64_t> packets; // 2

  void build(utils::nft_msg_t &message) const;
  static counter_t parse(const std::uint8_t *data, std::size_t length);
  bool operator==(const counter_t &) const = default;
};

} // namespace fw::linux::nftables::expr
