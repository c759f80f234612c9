// The steering rule set without the kernel: sending order, the split into page-sized batches, and the
// queue rules as they are sent (this kernel refuses them).

#include <gtest/gtest.h>

#include "fw/linux/netlink/header.hpp"
#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/policy/batch_policy.hpp"
#include "fw/service/kernel/nftables_rules.hpp"

namespace nft = fw::linux::nftables;
namespace nl = fw::linux::netlink;
using namespace fw::linux::nftables::expr;

namespace {

struct sent_rule_t {
  std::string chain;
  std::vector<expression_t> expressions;
};

// Every NEWRULE of every batch, in sending order.
std::vector<sent_rule_t> sent_rules(nft::policy::batch_policy_t &batch, std::size_t *batches = nullptr) {
  std::vector<sent_rule_t> rules;
  const auto taken = batch.take();
  if (batches) *batches = taken.size();
  for (const auto &b : taken) {
    EXPECT_LE(b.bytes.size(), batch.max_size());
    for (std::size_t offset = 0; offset < b.bytes.size();) {
      const nl::header_t header = nl::header_t::read(b.bytes.data() + offset);
      if (header.type == nft::full_type(nft::msg_newrule)) {
        const nft::rule_t rule = nft::rule_t::decode(b.bytes.data() + offset + 16, header.length - 16);
        EXPECT_EQ(rule.table, "movri-firewall");
        EXPECT_EQ(rule.comment, "movri-firewall");
        EXPECT_EQ(rule.family, nft::family_ipv4);
        rules.push_back({rule.chain.value_or(""), rule.expressions});
      }
      offset += nl::align4(header.length);
    }
  }
  return rules;
}

// What tells the rules apart: the queue number, the tproxy, the TCP flags compared, the marks.
template <class E> std::vector<E> all(const sent_rule_t &rule) {
  std::vector<E> out;
  for (const auto &e : rule.expressions)
    if (const auto *x = std::get_if<E>(&e)) out.push_back(*x);
  return out;
}

fw::service::nftables_params_t params() {
  fw::service::nftables_params_t p;
  p.local_delivery = 0x1;
  p.client_packets = 0x2;
  p.server_packets = 0x4;
  p.tproxy_address = 0x0100007F;
  p.tproxy_port = 8080;
  p.divert_entries = {{3, 10, 0x8}, {1, 11, 0x10}, {2, 12, 0x20}};
  p.security_option = true;
  return p;
}

} // namespace

TEST(NftablesRules, SendingOrderAcrossPageSizedBatches) {
  nft::policy::batch_policy_t batch(4096);
  fw::service::add_steering_rules(batch, params());
  std::size_t batches = 0;
  const auto rules = sent_rules(batch, &batches);
  EXPECT_GE(batches, 2u); // the rule set exceeds one page
  ASSERT_EQ(rules.size(), 14u);

  // 7 and 8 per entry in entry order, then 2, 1, 6, 5, 4, then the 3s in entry order.
  std::vector<std::string> chains;
  for (const auto &r : rules) chains.push_back(r.chain);
  EXPECT_EQ(chains, (std::vector<std::string>{"output", "input", "output", "input", "output", "input", "prerouting",
                                              "prerouting", "output", "output", "output", "output", "input",
                                              "forward"}));
  // Rules 8 and 3 queue to their entry's queue with bypass.
  const std::vector<std::pair<std::size_t, std::uint16_t>> queued = {{1, 10}, {3, 11}, {5, 12}, {11, 10}, {12, 11}, {13, 12}};
  for (const auto &[index, queue] : queued) {
    EXPECT_EQ(all<queue_t>(rules[index]), (std::vector<queue_t>{{queue, nft::queue_bypass}})) << index;
    // Rule 8 compares SYN,ACK and rule 3 SYN under the mask SYN|ACK.
    const auto flags = all<cmp_t>(rules[index])[1];
    EXPECT_EQ(flags.data, data_t::of_bytes({static_cast<std::uint8_t>(index < 6 ? 0x12 : 0x02)})) << index;
  }
  EXPECT_EQ(all<tproxy_t>(rules[6]).size(), 1u); // rule 2
  // Rule 7 of the forward entry sets its divert mark 0x20 into the connection mark.
  EXPECT_EQ(all<bitwise_t>(rules[4]).back().xor_, data_t::of_u32(0x20));
  // Rule 4 (last of output) sets ctmark C.
  EXPECT_EQ(all<bitwise_t>(rules[10]).back().xor_, data_t::of_u32(0x2));
}

TEST(NftablesRules, WithoutSecurityOptionOrDivertMarksOnlyTheQueueRulesFollow) {
  auto p = params();
  p.security_option = false;
  nft::policy::batch_policy_t batch;
  fw::service::add_steering_rules(batch, p);
  EXPECT_EQ(sent_rules(batch).size(), 8u);

  p.security_option = true;
  for (auto &entry : p.divert_entries) entry.mark = 0;
  fw::service::add_steering_rules(batch, p);
  EXPECT_EQ(sent_rules(batch).size(), 8u);
}
