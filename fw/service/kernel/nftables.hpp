#pragma once

#include <cstdint>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "fw/util/configuration.hpp"
#include "fw/linux/netlink/socket.hpp"
#include "fw/service/kernel/nft_chain_checker.hpp"
#include "fw/service/kernel/nftables_rules.hpp"
#include "fw/util/service.hpp"

namespace fw::util {
class module_loader_t;
}

namespace fw::service {

class divert_queues_t;
class marks_t;

// On kernels with the nftables TPROXY, conntrack and queue modules, installs the mangle part of the
// packet steering as the nftables table "movri-firewall" (family ip) and puts fix-local-path accept
// rules at the head of other programs' base chains; its chain checker keeps them there. With IPv6, a
// table of the same name in family ip6 carries the same rules for IPv6 packets. Every start
// first removes the table and every rule carrying the comment "movri-firewall", so nothing
// accumulates. When the probe fails, nothing here touches the kernel.
class nftables_t : public util::service_t {
public:
  // Runs the nftables probe once for the chain checker, which listens from now on when it succeeds.
  nftables_t(const fw::configuration_t &configuration, const marks_t &marks,
             const boost::asio::ip::tcp::endpoint &transparent_endpoint, const divert_queues_t &diverter,
             boost::asio::io_context &io, util::module_loader_t &module_loader, bool ipv6 = false);
  // Removes the table and the fix rules if a start installed them; failures are only logged.
  ~nftables_t() override;

  // Probes; installs with autoconfigure_iptables, or removes what an earlier start installed (the first
  // start also what an earlier run left, killed before it could). A chain that refuses its fix rule is
  // logged and skipped; kernel errors while installing are logged ("cannot install nftables") and the
  // service still counts as installed, so a later start or the destructor removes what was created.
  void start() override;

  bool installed() const noexcept { return installed_; }
  const nft_chain_checker_t &checker() const noexcept { return checker_; }
  // Kernels without the "queue" expression (tests) get another action in its place.
  void replace_queue_action(nft_queue_action_t action) { queue_action_ = std::move(action); }

  // Deletes the rules that carry the daemon's comment among those of a rule dump of the family. The
  // deletions go as one transaction; when the kernel refuses it (a rule someone else removed since the
  // dump voids it all), they go one by one, a rule that is gone is skipped and a refusal is logged.
  static void delete_own_rules(std::uint8_t family, const std::vector<linux::netlink::socket_t::received_t> &dump);

private:
  nftables_params_t parameters() const;
  void clean_rules();
  void clean_tables() noexcept;
  void fix_local_path(const nftables_params_t &params);
  void install(const nftables_params_t &params);
  void remove() noexcept;

  const fw::configuration_t &configuration_;
  const marks_t &marks_;
  const boost::asio::ip::tcp::endpoint &transparent_endpoint_;
  const divert_queues_t &diverter_;
  util::module_loader_t &module_loader_;
  nft_queue_action_t queue_action_ = nft_queue_with_bypass;
  // IPv6 handled too (fw::util::ipv6_enabled()): the ip6 table beside the ip one.
  bool ipv6_ = false;
  bool installed_ = false;
  bool swept_ = false; // the first start has removed what an earlier run left
  nft_chain_checker_t checker_;
};

} // namespace fw::service
