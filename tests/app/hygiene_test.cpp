// What the daemon leaves to others: programs it starts inherit none of its descriptors, HubD going away
// together with the log pipe ends it with its status and without a trace in the kernel, a start
// without autoconfiguration still removes what a killed run left, kill -9 at any moment leaves at most
// what one start installs, and with IPv6 turned off nothing of IPv6 is installed.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/tcp.hpp"

namespace {

namespace fs = boost::filesystem;

std::string file_text(const std::string &path) { return tests::shell("cat " + path, true); }

// The descriptors of a process above 2 that would survive an exec.
std::string inheritable_descriptors(pid_t pid) {
  std::string found;
  const std::string dir = "/proc/" + std::to_string(pid);
  for (const auto &entry : fs::directory_iterator(dir + "/fd")) {
    const std::string fd = entry.path().filename().string();
    if (std::stoi(fd) <= 2) continue;
    const std::string info = file_text(dir + "/fdinfo/" + fd); // "flags:\t02004002" (octal)
    const auto at = info.find("flags:");
    if (at == std::string::npos || !(std::stoul(info.substr(at + 6), nullptr, 8) & O_CLOEXEC))
      found += fd + " -> " + fs::read_symlink(entry.path()).string() + "\n";
  }
  return found;
}

// Waits for an orphan that this process adopted as subreaper; its status, or -1 after the timeout.
int wait_adopted(pid_t pid) {
  for (int i = 0; i < 3000; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

TEST(hygiene_e2e_t, HookProgramsInheritNothingAndHubDGoneWithTheLogPipeEndsTheDaemonCleanly) {
  tests::enter_fresh_netns();
  tests::e2e_daemon_t daemon;
  const std::string listing = daemon.path("descriptors");
  // The hook file runs at every start; at the second one every service is open.
  daemon.start({.hook = "os.execute('ls /proc/self/fd > " + listing + "')\n"
                        "function intercept_hook(ctx) return 'pass' end\n",
                .vettd = daemon.start_vettd_lite(),
                .log = "{ type: FILE path: \"" + daemon.path("daemon.log") + "\" }"});
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  const pid_t pid = daemon.daemon_pid();
  daemon.hubd().signal(SIGHUP);
  ASSERT_TRUE(daemon.wait_for_count("Ready for service", 2)) << daemon.output();
  EXPECT_EQ(file_text(listing), "0\n1\n2\n3\n"); // ls's own directory is 3
  EXPECT_EQ(inheritable_descriptors(pid), "");

  // HubD dies: its channel and the read end of the log pipe go at once. The line about the channel
  // meets a broken pipe.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  daemon.hubd().signal(SIGKILL);
  daemon.hubd().wait();
  EXPECT_EQ(wait_adopted(pid), 125) << file_text(daemon.path("daemon.log"));
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_NE(file_text(daemon.path("daemon.log")).find("Error: HubD: read failed: End of file"), std::string::npos);
  daemon.expect_nothing_left();
}

TEST(hygiene_e2e_t, LeftoversOfAKilledRunGoAtAStartWithoutAutoconfiguration) {
  tests::enter_fresh_netns();
  tests::e2e_daemon_t daemon;
  tests::e2e_daemon_t::options_t options{.hook = "function intercept_hook(ctx) return 'pass' end\n",
                                         .vettd = daemon.start_vettd_lite()};
  daemon.start(options);
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  const auto installed = daemon.kernel_state();
  ASSERT_GT(installed.iptables_rules, 0);
  ASSERT_EQ(installed.routing_rules, 1);
  ASSERT_EQ(::kill(daemon.daemon_pid(), SIGKILL), 0);
  daemon.hubd().wait();

  options.autoconfigure = false;
  daemon.start(options);
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  daemon.expect_nothing_left();
  EXPECT_EQ(daemon.stop(), 107) << daemon.output();
}

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

  std::optional<tests::e2e_daemon_t::kernel_state_t> first; // what one start installs
  const auto kernel_text = [] { return tests::shell("iptables-legacy-save; ip6tables-legacy-save; ip rule; ip -6 rule"); };
  for (int round = 0; round < 12; ++round) {
    const auto moment = static_cast<moment_t>(round % 4);
    SCOPED_TRACE(std::string("round ") + std::to_string(round) + ", killed " + names[moment]);
    daemon.start(options);
    if (moment != during_start) {
      ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
      const auto now = daemon.kernel_state();
      if (!first) first = now;
      EXPECT_TRUE(now.iptables_rules > 0 && now.ip6tables_rules > 0 && now.routing_rules == 1 && now.state_file &&
                  now.ipv6_routing_objects == 2) << kernel_text();
      EXPECT_EQ(now, *first) << kernel_text();
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
  EXPECT_EQ(daemon.kernel_state(), *first) << kernel_text();
  EXPECT_EQ(daemon.stop(), 107) << daemon.output();
  daemon.expect_nothing_left();
}

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
  EXPECT_EQ(state.ip6tables_rules + state.ipv6_routing_objects, 0) << tests::shell("ip -6 rule; ip -6 route show table all");
  EXPECT_EQ(daemon.count("IPv6 not handled (COM_MOVRI_IPV6=0): running IPv4 only"), 1u) << daemon.output();
  EXPECT_EQ(daemon.stop(), 107) << daemon.output();
}

} // namespace
