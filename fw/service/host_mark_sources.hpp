#pragma once

#include "fw/service/marks.hpp"

namespace fw::service {

// The host's own places where other software keeps marks: the IPv4 routing rules and routes (read
// with rtnetlink dumps) and the nftables rules.
class host_mark_sources_t : public marks_t::delegate_t {
public:
  std::vector<std::pair<std::uint32_t, std::uint32_t>> routing_marks() override;
  std::optional<std::uint32_t> nftables_marks() override;
};

} // namespace fw::service
