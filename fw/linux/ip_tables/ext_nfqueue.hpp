#pragma once

#include <cstdint>

#include "fw/linux/ip_tables/extension.hpp"

namespace fw::linux::ip_tables {

// "NFQUEUE" target at the highest revision the kernel supports (3 down to 0, probed once per process),
// 40 bytes: queue number at 32; from revision 1 a queue count of 1 at 34; bypass at 36 (revision 2:
// 1, revision 3: flag bit 0). Asking for bypass below revision 2 raises the runtime error
// "Cannot set --queue-bypass option: kernel is too old".
extension_t nfqueue_target(std::uint16_t queue, bool bypass);
extension_t nfqueue_target(std::uint8_t revision, std::uint16_t queue, bool bypass);

} // namespace fw::linux::ip_tables
