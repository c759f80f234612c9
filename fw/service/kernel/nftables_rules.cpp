#include "fw/service/kernel/nftables_rules.hpp"

#include <array>
#include <functional>
#include <stdexcept>
#include <string>

#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/matches.hpp"
#include "fw/linux/nftables/requests.hpp"

namespace fw::service {

namespace nft = fw::linux::nftables;
namespace m = fw::linux::nftables::matches;

namespace {

constexpr std::int32_t chain_priority = -150;

const char *chain_of_hook(std::uint32_t hook) {
  switch (hook) {
  case nft::hook_prerouting: return "prerouting";
  case nft::hook_input: return "input";
  case nft::hook_forward: return "forward";
  case nft::hook_output: return "output";
  default: throw std::invalid_argument("no chain for hook " + std::to_string(hook));
  }
}

nft::rule_builder_t rule(const char *chain, const nft::policy::batch_policy_t &batch,
                         std::uint8_t family = nft::family_ipv4) {
  return nft::rule_builder_t(family, nft_own_name, chain, nft_own_name, batch.max_size());
}

// The rules 1 to 6 in sending order (reverse of their order in the chains); the TPROXY action of rule 2
// is the family's.
void add_common_rules(nft::policy::batch_policy_t &batch, const nftables_params_t &p,
                      const nft_queue_action_t &queue_action, std::uint8_t family,
                      const std::function<void(nft::rule_builder_t &)> &tproxy) {
  const std::uint32_t L = p.local_delivery, C = p.client_packets, S = p.server_packets;
  // 2: client connections go to the transparent acceptor.
  auto r2 = rule("prerouting", batch, family);
  m::l4proto_tcp(r2);
  m::mark(r2, C | S, C | S, false);
  m::ctmark(r2, C, C | S);
  tproxy(r2);
  m::set_mark_bit(r2, L);
  m::counter(r2);
  m::accept(r2);
  batch.add(r2.finish());

  // 1: replies of server connections are delivered locally.
  auto r1 = rule("prerouting", batch, family);
  m::mark(r1, 0, C | S);
  m::ctmark(r1, S, S | C);
  m::set_mark_bit(r1, L);
  m::counter(r1);
  batch.add(r1.finish());

  // 6: packets of marked connections that do not carry a mark themselves are delivered locally.
  auto r6 = rule("output", batch, family);
  m::mark(r6, 0, C | S);
  m::ctmark(r6, 0, C | S, false);
  m::set_mark_bit(r6, L);
  m::counter(r6);
  batch.add(r6.finish());

  // 5 and 4: the daemon's own packets mark their connections.
  auto r5 = rule("output", batch, family);
  m::mark(r5, S, S | C);
  m::set_ctmark(r5, S, 0xFFFFFFFF);
  m::counter(r5);
  batch.add(r5.finish());

  auto r4 = rule("output", batch, family);
  m::mark(r4, C, C | S);
  m::set_ctmark(r4, C, 0xFFFFFFFF);
  m::counter(r4);
  batch.add(r4.finish());

  // 3: the first SYN of a new connection in a diverted direction goes to the direction's queue.
  for (const divert_rule_t &entry : p.divert_entries) {
    auto r3 = rule(chain_of_hook(entry.hook), batch, family);
    m::l4proto_tcp(r3);
    m::tcpflags(r3, 0x12, 0x02);
    m::mark(r3, 0, C | S);
    m::counter(r3);
    queue_action(r3, entry.queue);
    batch.add(r3.finish());
  }
}

} // namespace

void nft_queue_with_bypass(nft::rule_builder_t &rule, std::uint16_t queue) { m::queue(rule, queue); }

void add_own_table(nft::policy::batch_policy_t &batch, std::uint8_t family) {
  batch.add(nft::new_table(family, nft_own_name));
}

void add_own_chains(nft::policy::batch_policy_t &batch, std::uint8_t family) {
  batch.add(nft::new_chain(family, nft_own_name, "prerouting", nft::hook_prerouting, chain_priority, "filter"));
  batch.add(nft::new_chain(family, nft_own_name, "output", nft::hook_output, chain_priority, "route"));
  batch.add(nft::new_chain(family, nft_own_name, "input", nft::hook_input, chain_priority, "filter"));
  batch.add(nft::new_chain(family, nft_own_name, "forward", nft::hook_forward, chain_priority, "filter"));
}

void add_steering_rules(nft::policy::batch_policy_t &batch, const nftables_params_t &p,
                        const nft_queue_action_t &queue_action) {
  const std::uint32_t C = p.client_packets, S = p.server_packets;

  if (p.security_option)
    for (const divert_rule_t &entry : p.divert_entries) {
      const std::uint32_t D = entry.mark;
      if (D == 0) continue;
      // 7: the server side of a diverted connection carries its direction's divert mark in ctmark.
      auto r7 = rule("output", batch);
      m::mark(r7, S | D, S | C | D);
      m::set_ctmark(r7, D, D);
      batch.add(r7.finish());
      // 8: the SYN-ACK of such a connection is queued too.
      auto r8 = rule("input", batch);
      m::l4proto_tcp(r8);
      m::tcpflags(r8, 0x12, 0x12);
      m::mark(r8, 0, C | S);
      m::ctmark(r8, S | D, S | C | D);
      m::counter(r8);
      queue_action(r8, entry.queue);
      batch.add(r8.finish());
    }

  add_common_rules(batch, p, queue_action, nft::family_ipv4,
                   [&](nft::rule_builder_t &r) { m::tproxy(r, p.tproxy_address, p.tproxy_port); });
}

void add_ipv6_steering_rules(nft::policy::batch_policy_t &batch, const nftables_params_t &p,
                             const nft_queue_action_t &queue_action) {
  add_common_rules(batch, p, queue_action, nft::family_ipv6,
                   [&](nft::rule_builder_t &r) { m::tproxy6(r, p.tproxy_address6, p.tproxy_port); });
}

} // namespace fw::service
