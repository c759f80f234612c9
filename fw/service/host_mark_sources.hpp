#pragma once

#include "fw/service/marks.hpp"

namespace fw::util {
class module_loader_t;
}

namespace fw::service {

// The host's own places where other software keeps marks: the IPv4 routing rules and routes (read
// with rtnetlink dumps) and the nftables rules of family ip.
class host_mark_sources_t : public marks_t::delegate_t {
public:
  // The nftables probe loads its modules through the loader.
  host_mark_sources_t();
  explicit host_mark_sources_t(util::module_loader_t &module_loader);

  std::vector<std::pair<std::uint32_t, std::uint32_t>> routing_marks() override;
  // Runs the nftables probe; when it succeeds, the mark bits used by every rule of family ip (and ip6
  // when IPv6 is handled, fw::util::ipv6_enabled()) that does not carry the daemon's comment. A rule that
  // cannot be decoded or followed is skipped ("skip rule because: " + reason at debug level).
  std::optional<std::uint32_t> nftables_marks() override;

private:
  util::module_loader_t &module_loader_;
};

} // namespace fw::service
