#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"

namespace {

// COM_MOVRI_IPV6=0 keeps the daemon to IPv4: its IPv4 rules and routing are in place, no IPv6 object is
// (not even an empty ip6tables table), and one Info line says why.
TEST(daemon_e2e_t, Ipv6TurnedOffLeavesNoIpv6State) {
  tests::enter_fresh_netns();
  ASSERT_EQ(::setenv("COM_MOVRI_IPV6", "0", 1), 0); // inherited by the HubD stand-in and the daemon
  tests::e2e_daemon_t daemon;
  daemon.start({.hook = "function intercept_hook(ctx) return 'pass' end\n", .vettd = daemon.start_vettd_lite()});
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  EXPECT_EQ(tests::shell("cat /proc/net/ip6_tables_names; nft list tables ip6"), "");
  const auto state = daemon.kernel_state();
  EXPECT_GT(state.iptables_rules, 0);
  EXPECT_EQ(state.routing_rules, 1);
  EXPECT_EQ(state.ip6tables_rules, 0);
  EXPECT_EQ(state.ipv6_routing_objects, 0) << tests::shell("ip -6 rule; ip -6 route show table all");
  EXPECT_EQ(daemon.count("IPv6 not handled (COM_MOVRI_IPV6=0): running IPv4 only"), 1u) << daemon.output();
  EXPECT_EQ(daemon.stop(), 107) << daemon.output();
}

} // namespace
