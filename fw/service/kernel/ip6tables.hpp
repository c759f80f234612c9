#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "fw/util/configuration.hpp"
#include "fw/util/service.hpp"

namespace fw::util {
class module_loader_t;
}

namespace fw::service {

class divert_queues_t;
class marks_t;

// The IPv6 half of the iptables installer: the same steering rules in the ip6tables "mangle" and "nat"
// tables, written through the ip6_tables socket options under the xtables lock. The first SYN of a
// new IPv6 connection goes to its direction's queue (the same queue as IPv4), the marks are the same,
// and client connections are redirected with TPROXY to [::1] on the port of the transparent endpoint.
// The IP security option stays IPv4 only. Rules carry the comment "movri-firewall" and are found by it:
// every start first removes them (and a user chain "movri-firewall-divert", unless a foreign rule still
// jumps to it), so a start after a crash removes what the crashed process left.
// With the nftables probe succeeding, the mangle part is left to the nftables installer.
class ip6tables_t : public util::service_t {
public:
  // enabled: whether the daemon handles IPv6 (fw::util::ipv6_enabled()). Nothing is touched until
  // start().
  ip6tables_t(const fw::configuration_t &configuration, const marks_t &marks,
              const boost::asio::ip::tcp::endpoint &transparent_endpoint, const divert_queues_t &diverter,
              util::module_loader_t &module_loader, bool enabled);
  // Removes the rules if a start installed them; failures are only logged.
  ~ip6tables_t() override;

  // Installs the rules when IPv6 is enabled and autoconfigure_iptables is on; otherwise removes what
  // an earlier start (or a crashed process) left. A failed start removes the rules again and raises.
  // The first start with IPv6 off logs why at Info level (fw::util::ipv6_off_reason()).
  void start() override;

  bool installed() const noexcept { return installed_; }

private:
  // Takes the xtables lock and cleans both tables; never raises. quiet: failures at debug level.
  void remove(bool quiet) noexcept;

  const fw::configuration_t &configuration_;
  const marks_t &marks_;
  const boost::asio::ip::tcp::endpoint &transparent_endpoint_;
  const divert_queues_t &diverter_;
  util::module_loader_t &module_loader_;
  const bool enabled_;
  bool reported_ = false; // the Info line on IPv6 being off
  bool installed_ = false;
};

} // namespace fw::service
