// The chain checker: its reaction to rules that other programs add (real notifications in a private
// network namespace, cross-checked with nft), the notifications it ignores, and the nftables marks of
// the mark scan.

#include <gtest/gtest.h>

#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/matches.hpp"
#include "fw/service/host_mark_sources.hpp"
#include "fw/service/nft_chain_checker.hpp"
#include "tests/fw/service/nftables/nftables_fixture.hpp"
#include "tests/fw/service/service_fixture.hpp"
#include "tests/support/log_capture.hpp"

namespace nft = fw::linux::nftables;
using strings_t = std::vector<std::string>;
using tests::nft::chain_rules;

namespace {

const std::string fix_in = "iif \"lo\" meta mark & 0x00000001 == 0x00000001 accept comment \"movri-firewall\"";
const std::string counter = "counter packets 0 bytes 0";

std::string notice(const std::string &chain, int family = 2) {
  return "Debug: receive message (NFT_MSG_NEWRULE) : type=2566, msg_type=6, family=" + std::to_string(family) +
         ", chain name = " + chain;
}

// Runs the loop until the checker has seen n notifications for the chain.
void await(tests::nft::setup_t &s, const tests::log_capture_t &log, const std::string &chain, std::size_t n) {
  ASSERT_TRUE(tests::run_until(s.io, [&] { return log.count(notice(chain)) >= n; })) << log.all();
}

// The handle nft shows for the first rule of a chain.
std::string first_handle(const std::string &family_table, const std::string &chain) {
  const std::string listing = tests::shell("nft -a list chain " + family_table + " " + chain + " | grep movri");
  return listing.substr(listing.rfind("# handle"));
}

} // namespace

TEST(NftChainChecker, KeepsTheFixRuleAtTheHeadOfForeignBaseChains) {
  tests::enter_fresh_netns();
  tests::nft::nft_script("table ip g {\n  chain incoming { type filter hook input priority 0; }\n"
                         "  chain side { }\n}");
  tests::log_capture_t log;
  tests::nft::setup_t s;
  auto service = s.service();
  service->start();
  ASSERT_EQ(chain_rules("ip g", "incoming"), (strings_t{fix_in}));
  await(s, log, "incoming", 1); // the installer's own fix rule: first, nothing to do
  EXPECT_EQ(log.count("Debug: add fix local path rules to chain : incoming"), 0u);

  // Another program inserts at the head: the fix rule is deleted and put back first.
  tests::shell("nft insert rule ip g incoming counter");
  await(s, log, "incoming", 3); // the insertion, then the checker's own re-inserted rule
  EXPECT_EQ(log.count("Debug: add fix local path rules to chain : incoming"), 1u);
  EXPECT_EQ(chain_rules("ip g", "incoming"), (strings_t{fix_in, counter}));

  // Appended at the end: the fix rule is still first and stays as it is.
  const std::string handle = first_handle("ip g", "incoming");
  tests::shell("nft add rule ip g incoming counter");
  await(s, log, "incoming", 4);
  EXPECT_EQ(chain_rules("ip g", "incoming"), (strings_t{fix_in, counter, counter}));
  EXPECT_EQ(first_handle("ip g", "incoming"), handle);

  // A rule in the daemon's own table causes no action.
  tests::shell("nft add rule ip movri-firewall forward counter");
  ASSERT_TRUE(tests::run_until(s.io, [&] { return log.count(notice("forward")) == 1; }));
  EXPECT_EQ(log.count("Debug: add fix local path rules to chain : forward"), 0u);

  // A regular chain that somehow holds a fix rule loses it and gets none.
  tests::nft::nft_script("add rule ip g side counter comment \"movri-firewall\"");
  tests::shell("nft insert rule ip g side counter");
  await(s, log, "side", 2);
  EXPECT_EQ(chain_rules("ip g", "side"), (strings_t{counter}));

  // Notifications of other families (ip6) are ignored.
  tests::nft::nft_script("table ip6 h {\n  chain incoming { type filter hook input priority 0; }\n}");
  tests::shell("nft add rule ip6 h incoming counter");
  tests::shell("nft insert rule ip g incoming counter");
  await(s, log, "incoming", 6);
  EXPECT_EQ(log.count(notice("incoming", 10)), 0u);
  EXPECT_EQ(chain_rules("ip6 h", "incoming"), (strings_t{counter}));
  EXPECT_EQ(chain_rules("ip g", "incoming"), (strings_t{fix_in, counter, counter, counter}));
}

table inet u {
  chain c { type filter hook input priority 0; meta mark set 0x1000; }
})");
  tests::log_capture_t log;
  tests::nft::fake_loader_t loader;
  fw::service::host_mark_sources_t sources(loader);
  EXPECT_EQ(sources.nftables_marks(), 0x14u);
  EXPECT_EQ(log.count("Debug: skip rule because: bitwise_t: rule is incorrect"), 1u) << log.all();

  loader.missing = {"nft_ct"};
  EXPECT_EQ(sources.nftables_marks(), std::nullopt);
}
