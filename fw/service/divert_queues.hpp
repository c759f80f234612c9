#pragma once

#include <cstdint>
#include <optional>

namespace fw::service {

// What the rule installers need from the connection diverter: the NFQUEUE queue that each enabled
// divert direction reads.
class divert_queues_t {
public:
  virtual ~divert_queues_t() = default;
  // Direction 0 output, 1 input, 2 forward; nothing when the direction has no interceptor now.
  virtual std::optional<std::uint16_t> queue_number(unsigned direction) const = 0;
};

} // namespace fw::service
