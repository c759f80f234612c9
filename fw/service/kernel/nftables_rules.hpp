#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "fw/service/divert_queues.hpp"

#include "fw/linux/nftables/policy/batch_policy.hpp"
#include "fw/linux/nftables/rule.hpp"

namespace fw::service {

// The name of the daemon's nftables table and the comment of every rule it installs.
inline constexpr const char *nft_own_name = "movri-firewall";

// What the nftables installer and its chain checker work from, settled at each start.
struct nftables_params_t {
  std::uint32_t local_delivery = 0; // L
  std::uint32_t client_packets = 0; // C
  std::uint32_t server_packets = 0; // S
  std::uint32_t tproxy_address = 0; // network order
  std::uint16_t tproxy_port = 0;    // host order
  std::vector<divert_rule_t> divert_entries; // output, input, forward
  bool security_option = false;
  // IPv6 handled too: a second table of family ip6 with the same rules (no security option rules),
  // TPROXY to [::1] on the same port, and fix-local-path rules for IPv6.
  bool ipv6 = false;
  std::array<std::uint8_t, 16> tproxy_address6{}; // the IPv6 transparent listener, [::1]
  bool operator==(const nftables_params_t &) const = default;
};

// Writes the action that hands a packet to a queue: the "queue" expression with bypass. Tests on
// kernels without that expression substitute another.
using nft_queue_action_t = std::function<void(linux::nftables::rule_builder_t &rule, std::uint16_t queue)>;
void nft_queue_with_bypass(linux::nftables::rule_builder_t &rule, std::uint16_t queue);

// The table "movri-firewall" (family ip, or the given family: ip6 for the IPv6 table).
void add_own_table(linux::nftables::policy::batch_policy_t &batch, std::uint8_t family = 2 /* ip */);
// Its base chains: "prerouting" (hook 0, filter), "output" (hook 3, route), "input" (hook 1, filter) and
// "forward" (hook 2, filter), all at priority -150.
void add_own_chains(linux::nftables::policy::batch_policy_t &batch, std::uint8_t family = 2 /* ip */);
// The steering rules, sent in reverse of the order they take in their chains (each NEWRULE goes to the
// head of its chain).
void add_steering_rules(linux::nftables::policy::batch_policy_t &batch, const nftables_params_t &params,
                        const nft_queue_action_t &queue_action = nft_queue_with_bypass);
// The same rules for the table of family ip6: without the security option rules, TPROXY to [::1].
void add_ipv6_steering_rules(linux::nftables::policy::batch_policy_t &batch, const nftables_params_t &params,
                             const nft_queue_action_t &queue_action = nft_queue_with_bypass);

} // namespace fw::service
