#pragma once

#include <cstdint>
#include <optional>

namespace fw::service {

// The NFQUEUE queue of each divert direction (0 output, 1 input, 2 forward), as the last start of the
// connection diverter settled it. The rule installers read it to fill in their queue targets.
class divert_queues_t {
public:
  // The queue number of the direction's running interceptor, or none when the direction is not running.
  virtual std::optional<std::uint16_t> queue_number(unsigned direction) const = 0;

protected:
  ~divert_queues_t() = default;
};

} // namespace fw::service
