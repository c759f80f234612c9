// The nftables installer with IPv6 against the kernel in a private network namespace, cross-checked
// with nft: the ip6 table beside the ip one, the fix-local-path rules for IPv6, and nothing left on stop.
// As in the other nftables tests, a log expression stands in for the "queue" expression.

#include <gtest/gtest.h>

#include "tests/fw/service/nftables/nftables_fixture.hpp"
#include "tests/support/text.hpp"

using strings_t = std::vector<std::string>;
using tests::nft::chain_rules;

TEST(NftablesIpv6, Ip6TableAndFixRulesBesideIpv4AndNothingLeftOnStop) {
  tests::enter_fresh_netns();
  tests::nft::setup_t s;
  s.queues.queues[0] = 5;
  s.settle();
  tests::nft::nft_script("table inet host { chain out { type filter hook output priority 0; }; }\n"
                         "table ip6 host6 { chain in { type filter hook input priority 0; }; }");
  auto service =
      std::make_unique<fw::service::nftables_t>(s.config, s.marks, s.endpoint, s.queues, s.io, s.loader, true);
  service->replace_queue_action(tests::nft::log_queue);
  service->start();
  service->start();

  const std::string comment = " comment \"movri-firewall\"";
  auto ipv4_prerouting = chain_rules("ip movri-firewall", "prerouting");
  ASSERT_EQ(ipv4_prerouting.size(), 2u);
  ipv4_prerouting[1].replace(ipv4_prerouting[1].find("127.0.0.1"), 9, "[::1]");
  EXPECT_EQ(chain_rules("ip6 movri-firewall", "prerouting"), ipv4_prerouting);
  EXPECT_EQ(chain_rules("ip6 movri-firewall", "output"), chain_rules("ip movri-firewall", "output"));
  EXPECT_EQ(chain_rules("ip6 movri-firewall", "input").size(), 0u);
  const std::string tables = tests::shell("nft list tables");
  EXPECT_EQ(tests::count(tables, "movri-firewall"), 2u) << tables;
  EXPECT_EQ(chain_rules("inet host", "out"),
            (strings_t{"meta nfproto ipv4 oif \"lo\" meta mark & 0x00000001 == 0x00000001 accept" + comment,
                       "meta nfproto ipv6 oif \"lo\" meta mark & 0x00000001 == 0x00000001 accept" + comment}));
  EXPECT_EQ(chain_rules("ip6 host6", "in"),
            (strings_t{"iif \"lo\" meta mark & 0x00000001 == 0x00000001 accept" + comment}));

  service.reset();
  EXPECT_EQ(tests::count(tests::shell("nft list ruleset"), "movri-firewall"), 0u);
}
