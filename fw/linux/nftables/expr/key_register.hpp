#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "fw/linux/nftables/utils/nft_msg.hpp"

// The attribute layout "ct" and "meta" share: a key (2), a destination register (1) for a load, and a
// source register (attribute number `sreg_attr`, which differs between them) for a set.
namespace fw::linux::nftables::expr::key_register {

void build(utils::nft_msg_t &message, const char *name, std::uint16_t sreg_attr, const std::optional<std::uint32_t> &key,
           const std::optional<std::uint32_t> &dreg, const std::optional<std::uint32_t> &sreg);

void parse(const std::uint8_t *data, std::size_t length, std::uint16_t sreg_attr, std::optional<std::uint32_t> &key,
           std::optional<std::uint32_t> &dreg, std::optional<std::uint32_t> &sreg);

} // namespace fw::linux::nftables::expr::key_register
