#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace fw::linux::nftables {

// A chain as the kernel reports it (NEWCHAIN answers and chain dumps).
struct chain_t {
  struct hook_t {
    std::uint32_t number = 0;
    std::int32_t priority = 0;
    bool operator==(const hook_t &) const = default;
  };

  std::uint8_t family = 0;
  std::optional<std::string> table; // 1
  std::optional<std::string> name;  // 3
  std::optional<hook_t> hook;       // 4: present for base chains
  std::optional<std::string> type;  // 7

  // Decodes a message payload; the errors of the rule decoder.
  static chain_t decode(const std::uint8_t *payload, std::size_t length);
};

} // namespace fw::linux::nftables
