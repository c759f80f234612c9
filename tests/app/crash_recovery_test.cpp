#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"

namespace {

// kill -9 at any moment leaves at most what one start installs; the next start replaces it (one copy of
// every rule, one routing rule, one state file), and SIGTERM removes everything.
TEST(daemon_e2e_t, KillNineThenRestartLeavesOneCopyAndStopCleansUp) {
  tests::enter_fresh_netns();
  tests::e2e_daemon_t daemon;
  const tests::e2e_daemon_t::options_t options{
      .hook = "function intercept_hook(ctx) return 'pass' end\n",
      .extra_config = "input_divert_enable: true\ninput_divert_nfqueue_number { auto {} }\n"
                      "input_divert_mark { none {} }\n",
      .vettd = daemon.start_vettd_lite()};
  tests::e2e_daemon_t::kernel_state_t first;
  for (int round = 0; round < 4; ++round) {
    daemon.start(options);
    ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
    const auto now = daemon.kernel_state();
    if (round == 0) first = now;
    EXPECT_GT(now.iptables_rules, 0);
    EXPECT_EQ(now.iptables_rules, first.iptables_rules) << "round " << round;
    EXPECT_EQ(now.routing_rules, 1) << tests::shell("ip rule");
    EXPECT_TRUE(now.state_file);
    // Kill the daemon (the stand-in's child) without giving it a chance to clean up.
    ASSERT_EQ(::kill(daemon.daemon_pid(), SIGKILL), 0);
    daemon.hubd().wait();
  }
  daemon.start(options);
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  EXPECT_EQ(daemon.kernel_state().iptables_rules, first.iptables_rules);
  EXPECT_EQ(daemon.stop(), 107) << daemon.output();
  const auto after = daemon.kernel_state();
  EXPECT_EQ(after.iptables_rules, 0) << tests::shell("iptables-legacy-save");
  EXPECT_EQ(after.routing_rules, 0) << tests::shell("ip rule");
  EXPECT_FALSE(after.state_file);
  EXPECT_EQ(tests::shell("ip route show table all | grep -c 'table 1[0-9][0-9]' || true", true), "0\n");
}

} // namespace
