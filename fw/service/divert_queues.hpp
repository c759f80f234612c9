#pragma once

#include <cstdint>
#include <optional>

namespace fw::service {

// One diverted direction as the rule installers write it: the netfilter hook of its chain (3 output,
// 1 input, 2 forward), its NFQUEUE queue and its divert mark (0 when the direction has none).
struct divert_rule_t {
  std::uint32_t hook = 0;
  std::uint16_t queue = 0;
  std::uint32_t mark = 0;
  bool operator==(const divert_rule_t &) const = default;
};

// What the rule installers need from the connection diverter: the NFQUEUE queue that each enabled
// divert direction reads.
class divert_queues_t {
public:
  virtual ~divert_queues_t() = default;
  // Direction 0 output, 1 input, 2 forward; nothing when the direction has no interceptor now.
  virtual std::optional<std::uint16_t> queue_number(unsigned direction) const = 0;
};

} // namespace fw::service
