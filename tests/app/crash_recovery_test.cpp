#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <string>

#include "tests/support/child_process.hpp"
#include "tests/support/netns.hpp"

namespace {

namespace fs = boost::filesystem;

const std::string tools = MOVRI_TOOLS_DIR;
const std::string ready = std::string("Ready for service");

// The daemon's kernel state inside the test's namespace: rules carrying its comment, policy rules that
// send its mark to a table, and the state file.
struct kernel_state_t {
  int iptables_rules = 0;
  int routing_rules = 0;
  bool state_file = false;
};

struct daemon_e2e_t : ::testing::Test {
  fs::path dir;
  void SetUp() override {
    tests::enter_fresh_netns();
    dir = fs::temp_directory_path() / fs::unique_path("movri-e2e-%%%%%%%%");
    fs::create_directories(dir);
    std::ofstream(dir / "firewall.conf")
        << "log_level: LOG_LEVEL_DEBUG\n"
        << "actual_log { type: STDERR }\n"
        << "autoconfigure_iptables: true\nautoconfigure_routing: true\n"
        << "var_lib_dir: \"" << dir.string() << "\"\n"
        << "xtables_lock_path: \"" << (dir / "xtables.lock").string() << "\"\n"
        << "local_delivery_mark { auto {} }\nclient_packets_mark { auto {} }\nserver_packets_mark { auto {} }\n"
        << "tproxy_listen_address { address: \"127.0.0.1\" port: 19999 }\n"
        << "output_divert_enable: true\noutput_divert_nfqueue_number { auto {} }\noutput_divert_mark { auto {} }\n"
        << "input_divert_enable: true\ninput_divert_nfqueue_number { auto {} }\ninput_divert_mark { none {} }\n"
        << "intercept_hook { buffer: \"function intercept_hook(ctx) return 'pass' end\" }\n";
  }
  void TearDown() override { fs::remove_all(dir); }

  std::unique_ptr<tests::child_process_t> start_vettd() {
    const auto path = (dir / "vettd.sock").string();
    auto vettd = std::make_unique<tests::child_process_t>(tools + "/movri-vettd-lite", std::vector<std::string>{path});
    for (int i = 0; i < 100 && !fs::exists(path); ++i) ::usleep(20000);
    return vettd;
  }
  std::unique_ptr<tests::child_process_t> start_daemon() {
    return std::make_unique<tests::child_process_t>(
        tools + "/movri-hubd-lite",
        std::vector<std::string>{"--daemon", MOVRI_BINARY, "--vettd", (dir / "vettd.sock").string(),
                                 (dir / "firewall.conf").string()});
  }
  kernel_state_t state() {
    kernel_state_t s;
    s.iptables_rules = std::stoi(tests::shell("iptables-legacy-save 2>/dev/null | grep -c 'movri-firewall' || true", true));
    s.routing_rules = std::stoi(tests::shell("ip rule | grep -c 'lookup 1[0-9][0-9]' || true", true));
    s.state_file = fs::exists(dir / "rule_info.dat");
    return s;
  }
};

// kill -9 at any moment leaves at most what one start installs; the next start replaces it (one copy of
// every rule, one routing rule, one state file), and SIGTERM removes everything.
TEST_F(daemon_e2e_t, KillNineThenRestartLeavesOneCopyAndStopCleansUp) {
  auto vettd = start_vettd();
  kernel_state_t first;
  for (int round = 0; round < 4; ++round) {
    auto hubd = start_daemon();
    ASSERT_TRUE(hubd->wait_for_output(ready)) << hubd->output();
    const auto now = state();
    if (round == 0) first = now;
    EXPECT_GT(now.iptables_rules, 0);
    EXPECT_EQ(now.iptables_rules, first.iptables_rules) << "round " << round;
    EXPECT_EQ(now.routing_rules, 1) << tests::shell("ip rule");
    EXPECT_TRUE(now.state_file);
    // Kill the daemon (the stand-in's child) without giving it a chance to clean up.
    tests::shell("pkill -KILL -P " + std::to_string(hubd->pid()) + " -x movri-firewall", true);
    hubd->wait();
  }
  auto hubd = start_daemon();
  ASSERT_TRUE(hubd->wait_for_output(ready)) << hubd->output();
  EXPECT_EQ(state().iptables_rules, first.iptables_rules);
  hubd->signal(SIGTERM);
  EXPECT_EQ(hubd->wait(), 107) << hubd->output();
  const auto after = state();
  EXPECT_EQ(after.iptables_rules, 0) << tests::shell("iptables-legacy-save");
  EXPECT_EQ(after.routing_rules, 0) << tests::shell("ip rule");
  EXPECT_FALSE(after.state_file);
  EXPECT_EQ(tests::shell("ip route show table all | grep -c 'table 1[0-9][0-9]' || true", true), "0\n");
}

} // namespace
