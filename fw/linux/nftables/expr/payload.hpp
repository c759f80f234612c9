#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fw/linux/nftables/utils/nft_msg.hpp"

namespace fw::linux::nftables::expr {

// "payload": loads len bytes at offset from a packet header (base 2: the transport header).
struct payload_t {
  static constexpr const char *name = "payload";
  std::optional<std::uint32_t> dreg;   // 1
  std::optional<std::uint32_t> base;   // 2
  std::optional<std::uint32_t> offset; // 3
  std::optional<std::uint32_t> len;    // 4

  void build(utils::nft_msg_t &message) const;
  static payload_t parse(const std::uint8_t *data, std::size_t length);
  bool operator==(const payload_t &) const = default;
};

} // namespace fw::linux::nftables::expr
