#pragma once

#include <cstdint>
#include <optional>

#include "fw/linux/ip_tables/extension.hpp"

namespace fw::linux::ip_tables {

// "mark" and "connmark" matches, revision 1 (probed once per process), 48 bytes: mark at 32, mask at
// 36, invert at 40.
extension_t mark_match(std::uint32_t mark, std::uint32_t mask, bool invert = false);
extension_t connmark_match(std::uint32_t mark, std::uint32_t mask, bool invert = false);

// "MARK" target, revision 2 (probed), 40 bytes: mark at 32, mask at 36.
extension_t mark_target(std::uint32_t mark, std::uint32_t mask);

// "CONNMARK" target, 48 bytes, mode set: connection mark at 32, connection mask at 36, packet mask at
// 40, mode 0 at 44. Revision 2 (shift direction and bits at 44 and 45, mode at 46) carries the same
// bytes for a plain set, and the iptables tools of kernels that have it print only that revision, so
// the highest of 2 and 1 that the kernel supports is used (probed once per process).
extension_t connmark_target(std::uint32_t ctmark, std::uint32_t ctmask, std::uint32_t nfmask);

// The mark of a "mark" match of 48 bytes; nothing for any other extension.
std::optional<std::uint32_t> mark_match_value(const extension_t &match);

// The mark of a "MARK" target of 40 bytes; nothing for any other extension.
std::optional<std::uint32_t> mark_target_value(const extension_t &target);

} // namespace fw::linux::ip_tables
