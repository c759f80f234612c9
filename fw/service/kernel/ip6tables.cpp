#include "fw/service/kernel/ip6tables.hpp"

#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <boost/system/system_error.hpp>

#include "fw/linux/ip_tables/codec.hpp"
#include "fw/linux/ip_tables/ext_comment.hpp"
#include "fw/linux/ip_tables/ext_mark.hpp"
#include "fw/linux/ip_tables/ext_nfqueue.hpp"
#include "fw/linux/ip_tables/ext_tcp.hpp"
#include "fw/linux/ip_tables/ext_tproxy.hpp"
#include "fw/service/divert_queues.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/service/kernel/nftables_probe.hpp"
#include "fw/service/kernel/xtables_lock.hpp"
#include "fw/util/ipv6.hpp"
#include "fw/util/module_loader.hpp"
#include "fw/util/configuration.hpp"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {
namespace {

namespace ipt = fw::linux::ip_tables;

const char *const own_comment = "movri-firewall";
const char *const divert_chain = "movri-firewall-divert";

struct params_t {
  std::uint32_t local_delivery = 0; // L
  std::uint32_t client_packets = 0; // C
  std::uint32_t server_packets = 0; // S
  in6_addr tproxy_address{};
  std::uint16_t tproxy_port = 0; // host order
  std::vector<divert_rule_t> divert_entries; // output, input, forward
};

bool is_own(const ipt::rule6_t &rule) {
  return std::any_of(rule.matches.begin(), rule.matches.end(),
                     [](const ipt::extension_t &match) { return ipt::comment_text(match) == own_comment; });
}

bool table_missing(const boost::system::system_error &e) {
  return e.code() == boost::system::errc::no_protocol_option || e.code() == boost::system::errc::no_such_file_or_directory;
}

// Whether the table exists in this network namespace: reading one that does not would create it.
bool table_exists(const std::string &name) {
  std::ifstream names("/proc/net/ip6_tables_names");
  std::string line;
  while (std::getline(names, line))
    if (line == name) return true;
  return false;
}

bool jumps_to_divert(const ipt::rule6_t &rule) {
  const auto *jump = std::get_if<ipt::jump_t>(&rule.target);
  return jump && jump->chain == divert_chain;
}

// Removes the daemon's rules from the built-in chains and its user chain, as for IPv4; true when
// anything changed.
bool clean(ipt::table6_t &table) {
  bool changed = false;
  for (auto &[hook, chain] : table.builtin_chains) changed |= std::erase_if(chain.rules, is_own) > 0;

  const auto divert = table.user_chains.find(divert_chain);
  if (divert == table.user_chains.end()) return changed;
  const auto referenced = [](const std::string &from) {
    return std::runtime_error(std::string("chain ") + divert_chain + " is referenced from chain " + from +
                              " (this might be caused by improper ip6tables manual configuration)");
  };
  for (const auto &[hook, chain] : table.builtin_chains)
    if (std::any_of(chain.rules.begin(), chain.rules.end(), jumps_to_divert)) throw referenced(ipt::hook_name(hook));
  for (const auto &[name, chain] : table.user_chains)
    if (name != divert_chain && std::any_of(chain.rules.begin(), chain.rules.end(), jumps_to_divert))
      throw referenced(name);
  table.user_chains.erase(divert);
  return true;
}

std::vector<ipt::rule6_t> &chain(ipt::table6_t &table, unsigned hook, const char *table_name) {
  const auto found = table.builtin_chains.find(hook);
  if (found == table.builtin_chains.end())
    throw std::runtime_error(std::string("Table ") + table_name + " has no chain " + ipt::hook_name(hook));
  return found->second.rules;
}

ipt::rule6_t own_rule(std::uint16_t protocol = 0) {
  ipt::rule6_t rule;
  rule.set_protocol(protocol);
  rule.append_match(ipt::comment_match(own_comment));
  return rule;
}

ipt::extension_t queue_target(std::uint16_t queue) {
  try {
    return ipt::nfqueue_target(queue, true);
  } catch (const boost::system::system_error &) {
    throw;
  } catch (const std::runtime_error &e) {
    MV_LOG(Debug, std::string("NFQUEUE target: ") + e.what());
    return ipt::nfqueue_target(queue, false);
  }
}

void build_nat(const params_t &p) {
  ipt::table6_t table = ipt::read_table6("nat");
  clean(table);
  ipt::rule6_t rule = own_rule();
  rule.set_out_interface("lo");
  rule.append_match(ipt::mark_match(p.local_delivery, p.local_delivery));
  rule.set_target(ipt::verdict_t::accept);
  auto &postrouting = chain(table, ipt::hook_postrouting, "nat");
  postrouting.insert(postrouting.begin(), std::move(rule));
  ipt::write_table6("nat", table);
}

// The rules 1 to 6 of the IPv4 mangle table, in the same chains and order.
void build_mangle(const params_t &p) {
  const std::uint32_t L = p.local_delivery, C = p.client_packets, S = p.server_packets;
  ipt::table6_t table = ipt::read_table6("mangle");
  clean(table);
  auto &prerouting = chain(table, ipt::hook_prerouting, "mangle");
  auto &output = chain(table, ipt::hook_output, "mangle");
  prerouting.push_back(own_rule()
                           .append_match(ipt::mark_match(0, C | S))
                           .append_match(ipt::connmark_match(S, S | C))
                           .set_target(ipt::mark_target(L, L)));
  prerouting.push_back(own_rule(IPPROTO_TCP)
                           .append_match(ipt::mark_match(C | S, C | S, true))
                           .append_match(ipt::connmark_match(C, C | S))
                           .set_target(ipt::tproxy_target(p.tproxy_address, p.tproxy_port, L, L)));
  for (const divert_rule_t &entry : p.divert_entries)
    chain(table, entry.hook, "mangle")
        .push_back(own_rule(IPPROTO_TCP)
                       .append_match(ipt::tcp_match(ipt::tcp_syn | ipt::tcp_ack, ipt::tcp_syn))
                       .append_match(ipt::mark_match(0, C | S))
                       .set_target(queue_target(entry.queue)));
  output.push_back(own_rule()
                       .append_match(ipt::mark_match(C, C | S))
                       .set_target(ipt::connmark_target(C, 0xFFFFFFFF, 0xFFFFFFFF)));
  output.push_back(own_rule()
                       .append_match(ipt::mark_match(S, S | C))
                       .set_target(ipt::connmark_target(S, 0xFFFFFFFF, 0xFFFFFFFF)));
  output.push_back(own_rule()
                       .append_match(ipt::mark_match(0, C | S))
                       .append_match(ipt::connmark_match(0, C | S, true))
                       .set_target(ipt::mark_target(L, L)));
  ipt::write_table6("mangle", table);
}

// Runs a builder; a table whose module is not loaded gets the module loaded and one more try.
void install_table(const std::string &name, const std::function<void()> &builder, bool required,
                   util::module_loader_t &loader) {
  const std::string module = "ip6table_" + name;
  try {
    builder();
    return;
  } catch (const boost::system::system_error &e) {
    if (!table_missing(e)) throw;
    MV_LOG(Debug, "Cannot install ip6tables " + name + " rules: " + mv::util::exception_message(e) +
                      "; requesting " + module + " kernel module");
  }
  try {
    loader.load(module);
  } catch (const std::exception &e) {
    if (required) throw;
    MV_LOG(Warning, "Unable to load " + module + " kernel module: " + mv::util::exception_message(e) +
                        "; ip6tables " + name + " rules won't be installed");
    return;
  }
  builder();
}

// Removes the daemon's rules from an existing table, writing it only when something changed.
void clean_table(const std::string &name) {
  if (!table_exists(name)) return;
  ipt::table6_t table = ipt::read_table6(name);
  if (clean(table)) ipt::write_table6(name, table);
}

void clean_tables(bool quiet) noexcept {
  for (const char *name : {"nat", "mangle"}) {
    try {
      clean_table(name);
    } catch (const std::exception &e) {
      const std::string text =
          std::string("Cannot uninstall ip6tables rules from table ") + name + ": " + mv::util::exception_message(e);
      if (quiet)
        MV_LOG(Debug, text);
      else
        MV_LOG(Warning, text);
    }
  }
}

} // namespace

ip6tables_t::ip6tables_t(const fw::configuration_t &configuration, const marks_t &marks,
                         const boost::asio::ip::tcp::endpoint &transparent_endpoint, const divert_queues_t &diverter,
                         util::module_loader_t &module_loader, bool enabled)
    : configuration_(configuration), marks_(marks), transparent_endpoint_(transparent_endpoint), diverter_(diverter),
      module_loader_(module_loader), enabled_(enabled) {}

ip6tables_t::~ip6tables_t() {
  if (installed_) remove(false);
}

void ip6tables_t::start() {
  if (!enabled_ && !reported_) {
    reported_ = true;
    if (const auto &reason = util::ipv6_off_reason())
      MV_LOG(Info, "IPv6 not handled (" + *reason + "): running IPv4 only");
  }
  if (!enabled_ || !configuration_.autoconfigure_iptables()) {
    // Also when never installed here: a crashed process may have left its rules.
    remove(!installed_);
    installed_ = false;
    return;
  }
  const bool nftables = nftables_probe(module_loader_);

  params_t params;
  params.local_delivery = marks_.local_delivery_mark();
  params.client_packets = marks_.client_packets_mark();
  params.server_packets = marks_.server_packets_mark();
  const auto listener = util::ipv6_transparent_endpoint(transparent_endpoint_).address().to_v6().to_bytes();
  std::copy(listener.begin(), listener.end(), params.tproxy_address.s6_addr);
  params.tproxy_port = transparent_endpoint_.port();
  static const unsigned hooks[] = {ipt::hook_output, ipt::hook_input, ipt::hook_forward};
  for (unsigned direction = 0; direction < 3; ++direction)
    if (const auto queue = diverter_.queue_number(direction)) params.divert_entries.push_back({hooks[direction], *queue});

  xtables_lock_t lock(configuration_.xtables_lock_path());
  try {
    if (nftables)
      clean_table("mangle");
    else
      install_table("mangle", [&] { build_mangle(params); }, true, module_loader_);
    install_table("nat", [&] { build_nat(params); }, false, module_loader_);
  } catch (...) {
    clean_tables(false);
    installed_ = false;
    throw;
  }
  MV_LOG(Debug, "Ip6tables rules installed");
  installed_ = true;
}

void ip6tables_t::remove(bool quiet) noexcept {
  try {
    xtables_lock_t lock(configuration_.xtables_lock_path());
    clean_tables(quiet);
  } catch (const std::exception &e) {
    const std::string text = "Cannot uninstall ip6tables rules: " + mv::util::describe_exception(std::current_exception());
    if (quiet)
      MV_LOG(Debug, text);
    else
      MV_LOG(Warning, text);
  }
}

} // namespace fw::service
