#include "fw/service/host_mark_sources.hpp"

namespace fw::service {

std::vector<std::pair<std::uint32_t, std::uint32_t>> host_mark_sources_t::routing_marks() {
  // Pending the rtnetlink transport: no routing rule is inspected yet.
  return {};
}

std::optional<std::uint32_t> host_mark_sources_t::nftables_marks() {
  // The nftables probe and rule decoder belong to the nftables installer and chain checker; until they
  // provide the marks of other software's rules, nftables rules are treated as not inspectable, as on
  // a host where the probe fails.
  return std::nullopt;
}

} // namespace fw::service
