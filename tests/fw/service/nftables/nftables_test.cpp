// The nftables installer against the kernel in a private network namespace, cross-checked with nft.
// This kernel lacks the "queue" expression: the rules that queue are installed with a log expression in
// its place ("queue N"), and one test shows how a refused batch is handled.

#include <gtest/gtest.h>

#include <boost/asio/ip/address_v6.hpp>

#include "tests/fw/service/nftables/nftables_fixture.hpp"
#include "tests/fw/service/service_fixture.hpp"
#include "tests/support/log_capture.hpp"

using strings_t = std::vector<std::string>;
using tests::nft::chain_rules;

namespace {

const std::string comment = " comment \"movri-firewall\"";
const std::string rule1 = "meta mark & 0x00000006 == 0x00000000 ct mark & 0x00000006 == 0x00000004 meta mark set "
                          "meta mark | 0x00000001 counter packets 0 bytes 0" + comment;
const std::string rule2 = "meta l4proto tcp meta mark & 0x00000006 != 0x00000006 ct mark & 0x00000006 == 0x00000002 "
                          "tproxy to 127.0.0.1:8080 meta mark set meta mark | 0x00000001 counter packets 0 bytes 0 "
                          "accept" + comment;
std::string rule3(int queue) {
  return "meta l4proto tcp @th,104,8 & 0x12 == 0x2 meta mark & 0x00000006 == 0x00000000 counter packets 0 bytes 0 "
         "log prefix \"queue " + std::to_string(queue) + "\"" + comment;
}
const std::string rule4 = "meta mark & 0x00000006 == 0x00000002 ct mark set ct mark & 0x00000002 | 0x00000002 "
                          "counter packets 0 bytes 0" + comment;
const std::string rule5 = "meta mark & 0x00000006 == 0x00000004 ct mark set ct mark & 0x00000004 | 0x00000004 "
                          "counter packets 0 bytes 0" + comment;
const std::string rule6 = "meta mark & 0x00000006 == 0x00000000 ct mark & 0x00000006 != 0x00000000 meta mark set "
                          "meta mark | 0x00000001 counter packets 0 bytes 0" + comment;
const std::string own = "ip movri-firewall";

} // namespace

TEST(NftablesService, TableChainsAndRulesInTheirOrderOnceAfterTwoStarts) {
  tests::enter_fresh_netns();
  tests::log_capture_t log;
  tests::nft::setup_t s;
  s.queues.queues[1] = 5; // input only, no security option
  auto service = s.service();
  service->start();
  service->start();
  EXPECT_TRUE(service->installed());
  EXPECT_EQ(log.count("Debug: nftables rules installed"), 2u);

  const std::string table = tests::shell("nft list table " + own);
  for (const char *header : {"type filter hook prerouting priority mangle;", "type route hook output priority mangle;",
                             "type filter hook input priority mangle;", "type filter hook forward priority mangle;"})
    EXPECT_NE(table.find(header), std::string::npos) << header << "\n" << table;
  EXPECT_EQ(chain_rules(own, "prerouting"), (strings_t{rule1, rule2}));
  EXPECT_EQ(chain_rules(own, "output"), (strings_t{rule4, rule5, rule6}));
  EXPECT_EQ(chain_rules(own, "input"), (strings_t{rule3(5)}));
  EXPECT_TRUE(chain_rules(own, "forward").empty());
  // One table only, in family ip.
  EXPECT_EQ(tests::shell("nft list tables"), "table ip movri-firewall\n");

  service.reset();
  EXPECT_EQ(tests::shell("nft list ruleset"), "");
}

TEST(NftablesService, ABatchTheKernelRefusesIsLoggedAndCleanedUpOnStop) {
  tests::enter_fresh_netns();
  tests::log_capture_t log;
  tests::nft::setup_t s;
  s.queues.queues[1] = 5;
  auto service = s.service(false); // the real queue expression, which this kernel refuses
  service->start();
  EXPECT_EQ(log.count("Debug: cannot install nftables"), 1u);
  EXPECT_EQ(log.count("Debug: nftables rules installed"), 0u);
  EXPECT_TRUE(service->installed());
  // The rule batch was one transaction: none of its rules stayed; the table and chains did.
  EXPECT_TRUE(chain_rules(own, "prerouting").empty());
  service.reset();
  EXPECT_EQ(tests::shell("nft list ruleset"), "");
}
