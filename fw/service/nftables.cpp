#include "fw/service/nftables.hpp"

#include <arpa/inet.h>

#include <span>
#include <string>

#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/requests.hpp"
#include "fw/service/divert_queues.hpp"
#include "fw/service/marks.hpp"
#include "fw/service/nftables_probe.hpp"
#include "fw/util/ipv6.hpp"
#include "linux_firewall_config.pb.h"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {

namespace nft = fw::linux::nftables;
namespace nl = fw::linux::netlink;

namespace {

// Families whose tables are cleaned and whose chains get fix rules.
constexpr std::uint8_t families[] = {nft::family_ipv4, nft::family_inet};
// With IPv6, the chains of family ip6 get fix rules too. The ip6 table and rules are always cleaned
// (a process with IPv6 may have crashed before).
constexpr std::uint8_t ipv6_families[] = {nft::family_ipv4, nft::family_inet, nft::family_ipv6};

} // namespace

nftables_t::nftables_t(const mv::DarorUvurarevUzuvid &configuration, const marks_t &marks,
                       const boost::asio::ip::tcp::endpoint &transparent_endpoint, const divert_queues_t &diverter,
                       boost::asio::io_context &io, util::module_loader_t &module_loader, bool ipv6)
    : configuration_(configuration), marks_(marks), transparent_endpoint_(transparent_endpoint), diverter_(diverter),
      module_loader_(module_loader), ipv6_(ipv6), checker_(io, nftables_probe(module_loader)) {}

nftables_t::~nftables_t() {
  if (installed_) remove();
}

nftables_params_t nftables_t::parameters() const {
  nftables_params_t p;
  p.local_delivery = marks_.local_delivery_mark();
  p.client_packets = marks_.client_packets_mark();
  p.server_packets = marks_.server_packets_mark();
  p.tproxy_address = htonl(transparent_endpoint_.address().to_v4().to_uint());
  p.tproxy_port = transparent_endpoint_.port();
  static const std::uint32_t hooks[] = {nft::hook_output, nft::hook_input, nft::hook_forward};
  for (unsigned direction = 0; direction < 3; ++direction)
    if (const auto queue = diverter_.queue_number(direction))
      p.divert_entries.push_back({hooks[direction], *queue, marks_.divert_mark(static_cast<int>(direction))});
  p.security_option = configuration_.process_ip_security_option();
  p.ipv6 = ipv6_;
  if (ipv6_) p.tproxy_address6 = util::ipv6_transparent_endpoint(transparent_endpoint_).address().to_v6().to_bytes();
  return p;
}

void nftables_t::start() {
  if (!nftables_probe(module_loader_) || !configuration_.autoconfigure_iptables()) {
    checker_.clear_parameters();
    if (installed_) {
      clean_rules();
      clean_tables();
      installed_ = false;
    }
    return;
  }

  const nftables_params_t params = parameters();
  checker_.set_parameters(params);
  clean_rules();
  clean_tables();

  bool complete = false;
  try {
    fix_local_path(params);
    install(params);
    complete = true;
  } catch (const boost::system::system_error &) {
    MV_LOG(Debug, "cannot install nftables");
  } catch (...) {
    // Not a kernel refusal but a fault of the start itself: nothing of it stays in the kernel.
    checker_.clear_parameters();
    remove();
    installed_ = false;
    throw;
  }
  installed_ = true;
  if (complete) MV_LOG(Debug, "nftables rules installed");
}

void nftables_t::clean_rules() {
  MV_LOG(Debug, "start clear rules");
  for (const std::uint8_t family : ipv6_families) {
    nft::policy::batch_policy_t batch;
    {
      nl::socket_t socket = nft::open_socket();
      for (const nl::socket_t::received_t &received : nft::dump(socket, nft::dump_rules(family))) {
        if (received.type != nft::full_type(nft::msg_newrule)) continue;
        std::optional<nft::utils::nft_msg_t> deletion;
        try {
          const nft::rule_t rule = nft_chain_checker_t::decode_rule(received.payload.data(), received.payload.size());
          if (rule.comment != nft_own_name) continue;
          deletion = nft::del_rule(family, rule.table.value(), rule.chain.value(), rule.handle.value());
        } catch (const std::exception &e) {
          MV_LOG(Debug, "skip rule because: " + mv::util::exception_message(e));
          continue;
        }
        batch.add(*deletion);
      }
    }
    if (!batch.empty()) {
      nl::socket_t socket = nft::open_socket();
      batch.send(socket);
    }
  }
  MV_LOG(Debug, "rules are cleaned");
}

void nftables_t::clean_tables() noexcept {
  MV_LOG(Debug, "start clear tables");
  for (const std::uint8_t family : ipv6_families) {
    try {
      nft::policy::batch_policy_t batch;
      batch.add(nft::del_table(family, nft_own_name));
      nl::socket_t socket = nft::open_socket();
      batch.send(socket);
    } catch (const std::exception &e) {
      MV_LOG(Debug, "delete table with error : " + mv::util::exception_message(e));
    }
  }
  MV_LOG(Debug, "tables are cleaned");
}

void nftables_t::fix_local_path(const nftables_params_t &params) {
  MV_LOG(Debug, "start fix local path");
  for (const std::uint8_t family : params.ipv6 ? std::span<const std::uint8_t>(ipv6_families)
                                               : std::span<const std::uint8_t>(families)) {
    nft::policy::batch_policy_t batch;
    {
      nl::socket_t socket = nft::open_socket();
      for (const nl::socket_t::received_t &received : nft::dump(socket, nft::dump_chains(family))) {
        if (received.type != nft::full_type(nft::msg_newchain)) continue;
        const nft::chain_t chain = nft_chain_checker_t::decode_chain(received.payload.data(), received.payload.size());
        MV_LOG(Debug, "check chain : " + chain.name.value_or("empty"));
        nft_chain_checker_t::add_fix_rule(batch, chain, family, params.local_delivery, params.ipv6);
      }
    }
    if (!batch.empty()) {
      nl::socket_t socket = nft::open_socket();
      batch.send(socket);
    }
  }
  MV_LOG(Debug, "end fix local path");
}

void nftables_t::install(const nftables_params_t &params) {
  nft::policy::batch_policy_t batch;
  add_own_table(batch);
  nl::socket_t table_socket = nft::open_socket();
  batch.send(table_socket);

  add_own_chains(batch);
  nl::socket_t chain_socket = nft::open_socket();
  batch.send(chain_socket);

  add_steering_rules(batch, params, queue_action_);
  nl::socket_t rule_socket = nft::open_socket();
  batch.send(rule_socket);

  if (!params.ipv6) return;
  add_own_table(batch, nft::family_ipv6);
  nl::socket_t table6_socket = nft::open_socket();
  batch.send(table6_socket);
  add_own_chains(batch, nft::family_ipv6);
  nl::socket_t chain6_socket = nft::open_socket();
  batch.send(chain6_socket);
  add_ipv6_steering_rules(batch, params, queue_action_);
  nl::socket_t rule6_socket = nft::open_socket();
  batch.send(rule6_socket);
}

void nftables_t::remove() noexcept {
  try {
    clean_rules();
  } catch (const std::exception &e) {
    MV_LOG(Warning, "Cannot uninstall nftables rules: " + mv::util::exception_message(e));
  }
  clean_tables();
}

} // namespace fw::service
