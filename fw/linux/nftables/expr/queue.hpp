#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fw/linux/nftables/utils/nft_msg.hpp"

namespace fw::linux::nftables::expr {

// "queue": hands the packet to an NFQUEUE queue; flag 1 (bypass) accepts it when nobody listens.
struct queue_t {
  static constexpr const char *name = "queue";
  std::optional<std::uint16_t> number; // 1
  std::optional<std::uint16_t> flags;  // 3

  void build(utils::nft_msg_t &message) const;
  static queue_t parse(const std::uint8_t *data, std::size_t length);
  bool operator==(const queue_t &) const = default;
};

} // namespace fw::linux::nftables::expr
