#include "fw/service/kernel/iptables.hpp"

#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
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
#include "fw/util/module_loader.hpp"
#include "fw/util/configuration.hpp"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {
namespace {

namespace ipt = fw::linux::ip_tables;

const char *const own_comment = "movri-firewall";
const char *const divert_chain = "movri-firewall-divert";

// Everything the table builders need, settled before the lock is taken.
struct iptables_params_t {
  std::uint32_t local_delivery = 0; // L
  std::uint32_t client_packets = 0; // C
  std::uint32_t server_packets = 0; // S
  in_addr tproxy_address{};         // network order
  std::uint16_t tproxy_port = 0;    // host order
  std::vector<divert_rule_t> divert_entries; // output, input, forward
  bool security_option = false;
};

class kernel_tables_t : public iptables_t::table_io_t {
public:
  ipt::table_t read_table(const std::string &name) override { return ipt::read_table(name); }
  void write_table(const std::string &name, const ipt::table_t &table) override { ipt::write_table(name, table); }
};

bool is_own(const ipt::rule_t &rule) {
  return std::any_of(rule.matches.begin(), rule.matches.end(),
                     [](const ipt::extension_t &match) { return ipt::comment_text(match) == own_comment; });
}

bool jumps_to(const ipt::rule_t &rule, const std::string &chain) {
  const auto *jump = std::get_if<ipt::jump_t>(&rule.target);
  return jump && jump->chain == chain;
}

bool table_missing(const boost::system::system_error &e) {
  return e.code() == boost::system::errc::no_protocol_option || e.code() == boost::system::errc::no_such_file_or_directory;
}

// Removes the daemon's rules from the built-in chains and its user chain; true when anything changed.
bool clean(ipt::table_t &table) {
  bool changed = false;
  for (auto &[hook, chain] : table.builtin_chains)
    changed |= std::erase_if(chain.rules, is_own) > 0;

  const auto divert = table.user_chains.find(divert_chain);
  if (divert == table.user_chains.end()) return changed;
  const auto referenced = [](const std::string &from) {
    return std::runtime_error(std::string("chain ") + divert_chain + " is referenced from chain " + mv::log::escape(from) +
                              " (this might be caused by improper iptables manual configuration)");
  };
  for (const auto &[hook, chain] : table.builtin_chains)
    for (const ipt::rule_t &rule : chain.rules)
      if (jumps_to(rule, divert_chain)) throw referenced(ipt::hook_name(hook));
  for (const auto &[name, chain] : table.user_chains)
    if (name != divert_chain)
      for (const ipt::rule_t &rule : chain.rules)
        if (jumps_to(rule, divert_chain)) throw referenced(name);
  table.user_chains.erase(divert);
  return true;
}

std::vector<ipt::rule_t> &chain(ipt::table_t &table, unsigned hook, const char *table_name) {
  const auto found = table.builtin_chains.find(hook);
  if (found == table.builtin_chains.end())
    throw std::runtime_error(std::string("Table ") + table_name + " has no chain " + ipt::hook_name(hook));
  return found->second.rules;
}

// A rule whose first match is the daemon's comment.
ipt::rule_t own_rule(std::uint16_t protocol = 0) {
  ipt::rule_t rule;
  rule.set_protocol(protocol);
  rule.append_match(ipt::comment_match(own_comment));
  return rule;
}

// NFQUEUE with bypass, or without it on kernels whose target cannot carry the flag.
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

void build_nat(iptables_t::table_io_t &tables, const iptables_params_t &p) {
  ipt::table_t table = tables.read_table("nat");
  clean(table);
  ipt::rule_t rule = own_rule();
  rule.set_out_interface("lo");
  rule.append_match(ipt::mark_match(p.local_delivery, p.local_delivery));
  rule.set_target(ipt::verdict_t::accept);
  auto &postrouting = chain(table, ipt::hook_postrouting, "nat");
  postrouting.insert(postrouting.begin(), std::move(rule));
  tables.write_table("nat", table);
}

void build_mangle(iptables_t::table_io_t &tables, const iptables_params_t &p) {
  const std::uint32_t L = p.local_delivery, C = p.client_packets, S = p.server_packets;
  ipt::table_t table = tables.read_table("mangle");
  clean(table);
  auto &prerouting = chain(table, ipt::hook_prerouting, "mangle");
  auto &output = chain(table, ipt::hook_output, "mangle");

  // Packets of connections the daemon made (server side) or accepted (client side) are delivered
  // locally.
  prerouting.push_back(own_rule()
                           .append_match(ipt::mark_match(0, C | S))
                           .append_match(ipt::connmark_match(S, S | C))
                           .set_target(ipt::mark_target(L, L)));
  // Packets of client connections go to the transparent acceptor.
  prerouting.push_back(own_rule(IPPROTO_TCP)
                           .append_match(ipt::mark_match(C | S, C | S, true))
                           .append_match(ipt::connmark_match(C, C | S))
                           .set_target(ipt::tproxy_target(p.tproxy_address, p.tproxy_port, L, L)));
  // The first SYN of each new connection in a diverted direction goes to its queue.
  for (const divert_rule_t &entry : p.divert_entries)
    chain(table, entry.hook, "mangle")
        .push_back(own_rule(IPPROTO_TCP)
                       .append_match(ipt::tcp_match(ipt::tcp_syn | ipt::tcp_ack, ipt::tcp_syn))
                       .append_match(ipt::mark_match(0, C | S))
                       .set_target(queue_target(entry.queue)));
  // The daemon's own packets hand their mark to their connection.
  output.push_back(own_rule()
                       .append_match(ipt::mark_match(C, C | S))
                       .set_target(ipt::connmark_target(C, 0xFFFFFFFF, 0xFFFFFFFF)));
  output.push_back(own_rule()
                       .append_match(ipt::mark_match(S, S | C))
                       .set_target(ipt::connmark_target(S, 0xFFFFFFFF, 0xFFFFFFFF)));
  // Other local packets of such connections are delivered locally.
  output.push_back(own_rule()
                        .append_match(ipt::mark_match(0, C | S))
                        .append_match(ipt::connmark_match(0, C | S, true))
                        .set_target(ipt::mark_target(L, L)));

  if (p.security_option)
    for (const divert_rule_t &entry : p.divert_entries) {
      const std::uint32_t D = entry.mark;
      if (D == 0) continue;
      output.push_back(own_rule()
                           .append_match(ipt::mark_match(S | D, S | C | D))
                           .set_target(ipt::connmark_target(D, D, 0xFFFFFFFF)));
      chain(table, ipt::hook_input, "mangle")
          .push_back(own_rule(IPPROTO_TCP)
                         .append_match(ipt::tcp_match(ipt::tcp_syn | ipt::tcp_ack, ipt::tcp_syn | ipt::tcp_ack))
                         .append_match(ipt::mark_match(0, C | S))
                         .append_match(ipt::connmark_match(S | D, S | C | D))
                         .set_target(queue_target(entry.queue)));
    }
  tables.write_table("mangle", table);
}

// Runs a builder; a table whose module is not loaded gets the module loaded and one more try. For an
// optional table a module that cannot be loaded only costs its rules.
void install_table(const std::string &name, const std::function<void()> &builder, bool required,
                   util::module_loader_t &loader) {
  const std::string module = "iptable_" + name;
  try {
    builder();
    return;
  } catch (const boost::system::system_error &e) {
    if (!table_missing(e)) throw;
    MV_LOG(Debug, "Cannot install iptables " + name + " rules: " + mv::util::exception_message(e) + "; requesting " +
                      module + " kernel module");
  }
  try {
    loader.load(module);
  } catch (const std::exception &e) {
    if (required) throw;
    MV_LOG(Warning, "Unable to load " + module + " kernel module: " + mv::util::exception_message(e) + "; iptables " +
                        name + " rules won't be installed");
    return;
  }
  builder();
}

// Removes the daemon's rules from one table, writing it only when something changed. With
// missing_is_error false, a table that is not loaded holds nothing to remove.
void clean_table(iptables_t::table_io_t &tables, const std::string &name, bool missing_is_error) {
  ipt::table_t table;
  try {
    table = tables.read_table(name);
  } catch (const boost::system::system_error &e) {
    if (missing_is_error || !table_missing(e)) throw;
    return;
  }
  if (clean(table)) tables.write_table(name, table);
}

// Whether a table holds rules or the user chain of the daemon (read without the lock: nothing is
// written). A table that is not loaded holds nothing.
bool holds_own(iptables_t::table_io_t &tables, const std::string &name) {
  try {
    ipt::table_t table = tables.read_table(name);
    return clean(table);
  } catch (const boost::system::system_error &e) {
    if (!table_missing(e)) throw;
    return false;
  }
}

// Cleans both tables under a lock the caller holds; failures are logged per table.
void clean_tables(iptables_t::table_io_t &tables, bool missing_is_error = true) noexcept {
  for (const char *name : {"nat", "mangle"}) {
    try {
      clean_table(tables, name, missing_is_error);
    } catch (const std::exception &e) {
      MV_LOG(Warning, std::string("Cannot uninstall iptables rules from table ") + name + ": " +
                          mv::util::exception_message(e));
    }
  }
}

} // namespace

iptables_t::table_io_t &iptables_t::table_io_t::kernel() {
  static kernel_tables_t tables;
  return tables;
}

iptables_t::iptables_t(const fw::configuration_t &configuration, const marks_t &marks,
                       const boost::asio::ip::tcp::endpoint &transparent_endpoint, const divert_queues_t &diverter,
                       util::module_loader_t &module_loader, table_io_t &tables)
    : configuration_(configuration), marks_(marks), transparent_endpoint_(transparent_endpoint), diverter_(diverter),
      module_loader_(module_loader), tables_(tables) {}

iptables_t::~iptables_t() {
  if (installed_) remove();
}

void iptables_t::start() {
  const bool nftables = nftables_probe(module_loader_);
  if (!configuration_.autoconfigure_iptables()) {
    if (installed_)
      remove();
    else if (!swept_)
      remove_leftovers();
    installed_ = false;
    swept_ = true;
    return;
  }
  swept_ = true; // installing cleans the tables first

  iptables_params_t params;
  params.local_delivery = marks_.local_delivery_mark();
  params.client_packets = marks_.client_packets_mark();
  params.server_packets = marks_.server_packets_mark();
  params.tproxy_address.s_addr = htonl(transparent_endpoint_.address().to_v4().to_uint());
  params.tproxy_port = transparent_endpoint_.port();
  static const unsigned hooks[] = {ipt::hook_output, ipt::hook_input, ipt::hook_forward};
  for (unsigned direction = 0; direction < 3; ++direction)
    if (const auto queue = diverter_.queue_number(direction))
      params.divert_entries.push_back({hooks[direction], *queue, marks_.divert_mark(static_cast<int>(direction))});
  params.security_option = configuration_.process_ip_security_option();

  xtables_lock_t lock(configuration_.xtables_lock_path());
  try {
    if (nftables)
      clean_table(tables_, "mangle", false); // rules of a start that went without nftables
    else
      install_table("mangle", [&] { build_mangle(tables_, params); }, true, module_loader_);
    install_table("nat", [&] { build_nat(tables_, params); }, false, module_loader_);
  } catch (...) {
    // Nothing of a failed start stays in the kernel, nor of the start before it: the daemon does not
    // go on with a half-written rule set.
    clean_tables(tables_);
    installed_ = false;
    throw;
  }
  MV_LOG(Debug, "Iptables rules installed");
  installed_ = true;
}

void iptables_t::remove_leftovers() noexcept {
  try {
    bool found = false;
    for (const char *name : {"nat", "mangle"}) found |= holds_own(tables_, name);
    if (!found) return;
    xtables_lock_t lock(configuration_.xtables_lock_path());
    clean_tables(tables_, false);
    MV_LOG(Notice, "Iptables rules of an earlier run removed");
  } catch (const std::exception &e) {
    MV_LOG(Warning, "Cannot uninstall iptables rules: " + mv::util::describe_exception(std::current_exception()));
  }
}

void iptables_t::remove() noexcept {
  try {
    xtables_lock_t lock(configuration_.xtables_lock_path());
    clean_tables(tables_);
  } catch (const std::exception &e) {
    MV_LOG(Warning, "Cannot uninstall iptables rules: " + mv::util::describe_exception(std::current_exception()));
  }
}

} // namespace fw::service
