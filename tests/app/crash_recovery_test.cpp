#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/tcp.hpp"

namespace {

// kill -9 at any moment (during start, with connections arriving, during a reload, while idle) leaves
// at most what one start installs; the next start replaces it (one copy of every rule, one routing
// rule, one state file), and SIGTERM removes everything. The moments come from a seeded generator, so
// a failing round can be replayed.
TEST(daemon_e2e_t, KillNineThenRestartLeavesOneCopyAndStopCleansUp) {
  tests::enter_fresh_netns();
  tests::e2e_daemon_t daemon;
  const tests::e2e_daemon_t::options_t options{
      .hook = "function intercept_hook(ctx) return 'pass' end\n",
      .extra_config = "input_divert_enable: true\ninput_divert_nfqueue_number { auto {} }\n"
                      "input_divert_mark { none {} }\n",
      .vettd = daemon.start_vettd_lite()};
  const auto server = tests::tcp::listen_on(7001);
  std::mt19937 random(20261206);
  const auto some_ms = [&](int most) { return std::chrono::milliseconds(std::uniform_int_distribution<int>(0, most)(random)); };
  enum moment_t { during_start, with_traffic, during_reload, idle };
  const char *const names[] = {"during start", "with connections arriving", "during a reload", "while idle"};

  tests::e2e_daemon_t::kernel_state_t first;
  bool have_first = false;
  for (int round = 0; round < 12; ++round) {
    const auto moment = static_cast<moment_t>(round % 4);
    SCOPED_TRACE(std::string("round ") + std::to_string(round) + ", killed " + names[moment]);
    daemon.start(options);
    if (moment != during_start) {
      ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
      const auto now = daemon.kernel_state();
      if (!have_first) first = now, have_first = true;
      EXPECT_GT(now.iptables_rules, 0);
      EXPECT_EQ(now.iptables_rules, first.iptables_rules);
      EXPECT_EQ(now.routing_rules, 1) << tests::shell("ip rule");
      EXPECT_TRUE(now.state_file);
      EXPECT_GT(now.ip6tables_rules, 0);
      EXPECT_EQ(now.ip6tables_rules, first.ip6tables_rules);
      EXPECT_EQ(now.ipv6_routing_objects, 2) << tests::shell("ip -6 rule; ip -6 route show table all");
    }
    const pid_t pid = daemon.daemon_pid();
    std::vector<fw::util::scoped_fd_t> clients;
    switch (moment) {
    case during_start: std::this_thread::sleep_for(some_ms(60)); break;
    case with_traffic:
      for (int i = 0; i < 20; ++i) clients.push_back(tests::tcp::start_connect(7001));
      std::this_thread::sleep_for(some_ms(5));
      break;
    case during_reload:
      ASSERT_EQ(::kill(daemon.hubd().pid(), SIGHUP), 0);
      std::this_thread::sleep_for(some_ms(30));
      break;
    case idle: break;
    }
    // Kill the daemon (the stand-in's child) without giving it a chance to clean up.
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    daemon.hubd().wait();
  }
  daemon.start(options);
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  const auto last = daemon.kernel_state();
  EXPECT_EQ(last.iptables_rules, first.iptables_rules) << tests::shell("iptables-legacy-save");
  EXPECT_EQ(last.routing_rules, 1) << tests::shell("ip rule");
  EXPECT_EQ(last.ip6tables_rules, first.ip6tables_rules) << tests::shell("ip6tables-legacy-save");
  EXPECT_EQ(last.ipv6_routing_objects, 2);
  EXPECT_EQ(daemon.stop(), 107) << daemon.output();
  const auto after = daemon.kernel_state();
  EXPECT_EQ(after.iptables_rules, 0) << tests::shell("iptables-legacy-save");
  EXPECT_EQ(after.routing_rules, 0) << tests::shell("ip rule");
  EXPECT_FALSE(after.state_file);
  EXPECT_EQ(after.ip6tables_rules, 0) << tests::shell("ip6tables-legacy-save");
  EXPECT_EQ(after.ipv6_routing_objects, 0) << tests::shell("ip -6 rule; ip -6 route show table all");
  EXPECT_EQ(tests::shell("ip route show table all | grep -c 'table 1[0-9][0-9]' || true", true), "0\n");
}

} // namespace
