#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fw/linux/nftables/utils/nft_msg.hpp"

namespace fw::linux::nftables::expr {

// "tproxy": delivers the packet to a local socket at the address and port held in two registers.
struct tproxy_t {
  static constexpr const char *name = "tproxy";
  std::optional<std::uint32_t> reg_addr; // 2
  std::optional<std::uint32_t> family;   // 1
  std::optional<std::uint32_t> reg_port; // 3

  void build(utils::nft_msg_t &message) const;
  static tproxy_t parse(const std::uint8_t *data, std::size_t length);
  bool operator==(const tproxy_t &) const = default;
};

} // namespace fw::linux::nftables::expr
