#include "fw/service/kernel/nftables.hpp"

#include <arpa/inet.h>

#include <span>
#include <string>

#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/requests.hpp"
#include "fw/service/divert_queues.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/service/kernel/nftables_probe.hpp"
#include "fw/util/ipv6.hpp"
#include "fw/util/configuration.hpp"
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

// Sends a batch on a socket of its own.
void send(nft::policy::batch_policy_t &batch) {
  nl::socket_t socket = nft::open_socket();
  batch.send(socket);
}

// Sends one message as a transaction of its own.
void send_alone(const nft::utils::nft_msg_t &message) {
  nft::policy::batch_policy_t batch;
  batch.add(message);
  send(batch);
}

} // namespace

nftables_t::nftables_t(const fw::configuration_t &configuration, const marks_t &marks,
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
  const bool usable = nftables_probe(module_loader_);
  if (!usable || !configuration_.autoconfigure_iptables()) {
    checker_.clear_parameters();
    if (installed_) {
      clean_rules();
      clean_tables();
    } else if (usable && !swept_) {
      remove(); // what a run that was killed left behind
    }
    installed_ = false;
    swept_ = true;
    return;
  }
  swept_ = true; // installing cleans first

  const nftables_params_t params = parameters();
  checker_.set_parameters(params);
  clean_rules();
  clean_tables();

  bool complete = false;
  try {
    fix_local_path(params); // a chain that refuses its fix rule costs that rule only
    try {
      install(params);
      complete = true;
    } catch (const boost::system::system_error &) {
      MV_LOG(Debug, "cannot install nftables");
    }
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
    std::vector<nl::socket_t::received_t> rules;
    {
      nl::socket_t socket = nft::open_socket();
      rules = nft::dump(socket, nft::dump_rules(family));
    }
    delete_own_rules(family, rules);
  }
  MV_LOG(Debug, "rules are cleaned");
}

void nftables_t::delete_own_rules(std::uint8_t family, const std::vector<nl::socket_t::received_t> &dump) {
  std::vector<nft::utils::nft_msg_t> deletions;
  for (const nl::socket_t::received_t &received : dump) {
    if (received.type != nft::full_type(nft::msg_newrule)) continue;
    try {
      const nft::rule_t rule = nft_chain_checker_t::decode_rule(received.payload.data(), received.payload.size());
      if (rule.comment != nft_own_name) continue;
      deletions.push_back(nft::del_rule(family, rule.table.value(), rule.chain.value(), rule.handle.value()));
    } catch (const std::exception &e) {
      MV_LOG(Debug, "skip rule because: " + mv::util::exception_message(e));
    }
  }
  if (deletions.empty()) return;
  try {
    nft::policy::batch_policy_t batch;
    for (const auto &deletion : deletions) batch.add(deletion);
    send(batch);
    return;
  } catch (const boost::system::system_error &) {
    // The batch is one transaction, and one refused deletion voids it: a rule that someone else removed
    // since the dump (ENOENT), a chain that is not the daemon's to change. One by one, each costs itself.
  }
  for (const auto &deletion : deletions) {
    try {
      send_alone(deletion);
    } catch (const boost::system::system_error &e) {
      if (e.code() != boost::system::errc::no_such_file_or_directory)
        MV_LOG(Warning, "Cannot uninstall nftables rule: " + mv::util::exception_message(e));
    }
  }
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
    std::vector<nft::chain_t> chains;
    try {
      nl::socket_t socket = nft::open_socket();
      for (const nl::socket_t::received_t &received : nft::dump(socket, nft::dump_chains(family))) {
        if (received.type != nft::full_type(nft::msg_newchain)) continue;
        chains.push_back(nft_chain_checker_t::decode_chain(received.payload.data(), received.payload.size()));
      }
    } catch (const boost::system::system_error &e) {
      MV_LOG(Warning, "Cannot fix local path: " + mv::util::exception_message(e));
      continue;
    }
    // Each chain in a transaction of its own: a chain that refuses the rule (a table another program
    // owns, for one) keeps only itself without it.
    for (const nft::chain_t &chain : chains) {
      MV_LOG(Debug, "check chain : " + mv::log::escape(chain.name.value_or("empty")));
      nft::policy::batch_policy_t batch;
      if (!nft_chain_checker_t::add_fix_rule(batch, chain, family, params.local_delivery, params.ipv6)) continue;
      try {
        send(batch);
      } catch (const boost::system::system_error &e) {
        MV_LOG(Warning, "Cannot fix local path in chain " + mv::log::escape(chain.table.value_or("")) + " " +
                            mv::log::escape(chain.name.value_or("")) + ": " + mv::util::exception_message(e));
      }
    }
  }
  MV_LOG(Debug, "end fix local path");
}

void nftables_t::install(const nftables_params_t &params) {
  nft::policy::batch_policy_t batch;
  add_own_table(batch);
  send(batch);
  add_own_chains(batch);
  send(batch);
  add_steering_rules(batch, params, queue_action_);
  send(batch);

  if (!params.ipv6) return;
  add_own_table(batch, nft::family_ipv6);
  send(batch);
  add_own_chains(batch, nft::family_ipv6);
  send(batch);
  add_ipv6_steering_rules(batch, params, queue_action_);
  send(batch);
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
