// The nftables installer after faults: what a killed run left, at a start without autoconfiguration; a
// foreign chain that refuses its fix rule; a rule that vanishes between the dump and its deletion.

#include <gtest/gtest.h>

#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/policy/batch_policy.hpp"
#include "fw/linux/nftables/requests.hpp"
#include "tests/fw/service/nftables/nftables_fixture.hpp"
#include "tests/support/log_capture.hpp"

namespace {

namespace nft = fw::linux::nftables;
using strings_t = std::vector<std::string>;
using tests::nft::chain_rules;

const std::string fix_in = "iif \"lo\" meta mark & 0x00000001 == 0x00000001 accept comment \"movri-firewall\"";
const std::string foreign = "table ip g {\n  chain early { type nat hook prerouting priority -100; }\n"
                            "  chain late { type filter hook input priority 0; }\n}";

std::string own_comments() {
  return tests::shell("nft list ruleset | grep -c 'comment \"movri-firewall\"' || true", true);
}

TEST(NftablesFaults, LeftoversGoWithoutAutoconfigurationARefusingChainCostsItsRuleAVanishedRuleIsSkipped) {
  tests::enter_fresh_netns();
  tests::log_capture_t log;
  tests::nft::nft_script(foreign);
  // A table that another program owns while its socket (here: this one) is open: the kernel refuses
  // rules from anyone else.
  auto owner = nft::open_socket();
  nft::policy::batch_policy_t batch;
  auto table = nft::new_table(nft::family_ipv4, "owned");
  table.put_be32(2, 2); // NFTA_TABLE_FLAGS: NFT_TABLE_F_OWNER
  batch.add(table);
  batch.add(nft::new_chain(nft::family_ipv4, "owned", "in", nft::hook_input, 0, "filter"));
  batch.send(owner);
  const std::string before = tests::shell("nft list ruleset");
  tests::nft::nft_script("table ip movri-firewall {\n  chain output { type route hook output priority -150; }\n}\n"
                         "add rule ip g late meta mark 1 accept comment \"movri-firewall\"");
  tests::nft::setup_t s;
  s.config.set_autoconfigure_iptables(false);
  auto service = s.service();
  service->start();
  EXPECT_EQ(tests::shell("nft list ruleset"), before);

  s.config.set_autoconfigure_iptables(true);
  service->start();
  EXPECT_EQ(log.count("Debug: nftables rules installed"), 1u) << log.all();
  EXPECT_EQ(log.count_containing("Warning: Cannot fix local path in chain owned in: "), 1u) << log.all();
  EXPECT_EQ(log.count_containing("Operation not permitted"), 1u) << log.all();
  EXPECT_EQ(chain_rules("ip g", "early"), (strings_t{fix_in}));
  EXPECT_EQ(chain_rules("ip g", "late"), (strings_t{fix_in}));
  EXPECT_TRUE(chain_rules("ip owned", "in").empty());
  EXPECT_EQ(chain_rules("ip movri-firewall", "output").size(), 3u);

  // One fix rule goes between the dump and the deletion: the others still go.
  std::vector<fw::linux::netlink::socket_t::received_t> dump;
  {
    auto socket = nft::open_socket();
    dump = nft::dump(socket, nft::dump_rules(nft::family_ipv4));
  }
  tests::shell("nft flush chain ip g early");
  fw::service::nftables_t::delete_own_rules(nft::family_ipv4, dump);
  EXPECT_EQ(own_comments(), "0\n") << tests::shell("nft list ruleset");
  service.reset();
  EXPECT_EQ(tests::shell("nft list ruleset"), before);
}

} // namespace
