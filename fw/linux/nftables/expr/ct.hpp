#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fw/linux/nftables/utils/nft_msg.hpp"

namespace fw::linux::nftables::expr {

// "ct": loads a property of the packet's connection into a register (dreg) or sets it from one (sreg).
struct ct_t {
  static constexpr const char *name = "ct";
  std::optional<std::uint32_t> key;  // 2
  std::optional<std::uint32_t> dreg; // 1
  std::optional<std::uint32_t> sreg; // 4

  static ct_t load(std::uint32_t key, std::uint32_t dreg) { return {key, dreg, std::nullopt}; }
  static ct_t set(std::uint32_t key, std::uint32_t sreg) { return {key, std::nullopt, sreg}; }

  void build(utils::nft_msg_t &message) const;
  static ct_t parse(const std::uint8_t *data, std::size_t length);
  bool operator==(const ct_t &) const = default;
};

} // namespace fw::linux::nftables::expr
