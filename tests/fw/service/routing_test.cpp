// Local delivery routing against the kernel, cross-checked with ip(8): rule, route and state file.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "fw/service/kernel/marks.hpp"
#include "fw/service/kernel/routing.hpp"
#include "fw/service/rule_info.pb.h"
#include "fw/util/configuration.hpp"
#include "mv/log/log.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/error_text.hpp"
#include "tests/support/text.hpp"

namespace {

using tests::count;

bool exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

class Routing : public testing::Test {
protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "movri-routing-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    state_file = dir + "/rule_info.dat";
    config.set_var_lib_dir(dir);
    config.set_autoconfigure_iptables(true);
    config.set_autoconfigure_routing(true);
    config.mutable_local_delivery_mark()->set_manual(0x10);
    config.mutable_client_packets_mark()->set_manual(0x20);
    config.mutable_server_packets_mark()->set_manual(0x40);
  }
  void TearDown() override {
    routing.reset();
    tests::shell("rm -rf '" + dir + "'", true);
  }

  void start() {
    marks.start();
    routing->start();
  }

  fw::service::RuleInfo recorded() {
    fw::service::RuleInfo info;
    std::ifstream in(state_file, std::ios::binary);
    EXPECT_TRUE(info.ParseFromIstream(&in));
    return info;
  }

  tests::log_capture_t log;
  std::string dir, state_file;
  fw::configuration_t config;
  fw::service::marks_t marks{config};
  std::unique_ptr<fw::service::routing_t> routing = std::make_unique<fw::service::routing_t>(config, marks);
};

const std::string rule_100 = "from all fwmark 0x10/0x10 lookup 100";
const std::string route_100 = "local default dev lo table 100 scope host metric 2147483647";

} // namespace

TEST_F(Routing, InstallsRuleRouteAndStateFileRemovesThemOnDestructionAndNeedsTheStateFile) {
  tests::enter_fresh_netns();
  for (int round = 0; round < 2; ++round) { // a second start replaces rather than adds
    start();
    EXPECT_EQ(count(tests::shell("ip rule"), rule_100), 1u);
    EXPECT_EQ(count(tests::shell("ip route show table all"), route_100), 1u);
  }
  EXPECT_GE(log.count("Debug: Local delivery route installed (table 100, metric 2147483647)"), 1u) << log.all();
  EXPECT_GE(log.count("Debug: Local delivery routing policy installed (table 100, fwmark 16)"), 1u) << log.all();
  EXPECT_GE(log.count("Debug: Local delivery route uninstalled (table 100, metric 2147483647)"), 1u) << log.all();

  struct stat st {};
  ASSERT_EQ(::stat(state_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(recorded().ShortDebugString(), "table_id: 100 mark: 16 priority: 2147483647");

  routing.reset();
  EXPECT_EQ(count(tests::shell("ip rule"), "fwmark"), 0u);
  EXPECT_EQ(count(tests::shell("ip route show table all"), "table 100"), 0u);
  EXPECT_FALSE(exists(state_file));
  EXPECT_GE(log.count("Debug: Local delivery routing policy uninstalled (table 100, fwmark 16)"), 1u) << log.all();

  // A state file that cannot be written leaves nothing installed.
  routing = std::make_unique<fw::service::routing_t>(config, marks);
  config.set_var_lib_dir(dir + "/missing");
  EXPECT_EQ(tests::error_text([&] { start(); }), "Cannot install local delivery rule: Cannot create file " + dir +
                               "/missing/rule_info.dat: No such file or directory");
  EXPECT_EQ(count(tests::shell("ip rule"), "fwmark"), 0u);
  EXPECT_EQ(count(tests::shell("ip route show table all"), "table 100"), 0u);
}

TEST_F(Routing, StateFileOfACrashedRunIsHonoured) {
  tests::enter_fresh_netns();
  // What a process that was killed left behind: its rule and route in table 100, and its record.
  tests::shell(R"(set -e
    ip route add local default dev lo table 100 proto boot metric 2147483647
    ip rule add fwmark 0x8/0x8 lookup 100)");
  fw::service::RuleInfo info;
  info.set_table_id(100);
  info.set_mark(8);
  info.set_priority(2147483647);
  std::ofstream(state_file, std::ios::binary) << info.SerializeAsString();

  start();
  const std::string rules = tests::shell("ip rule");
  EXPECT_EQ(count(rules, "fwmark 0x8"), 0u) << rules;
  EXPECT_EQ(count(rules, rule_100), 1u) << rules; // the freed table is chosen again
  EXPECT_EQ(count(tests::shell("ip route show table all"), "table 100"), 1u);
}

// A process killed between two kernel steps, at the log line that follows the first one: installing
// (route in, rule not yet) and removing on a reload (route out, rule still in). Either way a record of
// what is left is on disk, so the next start removes it instead of keeping it and taking the next table.
TEST_F(Routing, ProcessKilledBetweenRouteAndRuleLeavesARecordOfIt) {
  struct moment_t {
    std::string line;
    int starts;
  };
  for (const moment_t &moment : {moment_t{"Local delivery route installed", 1},
                                 moment_t{"Local delivery route uninstalled", 2}}) {
    SCOPED_TRACE(moment.line);
    tests::enter_fresh_netns();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      struct die_at_t : mv::log::cf_log_t {
        std::string line;
        void write(int, std::string_view text) override {
          if (text.starts_with(line)) ::_exit(0);
        }
        void out_of_memory() noexcept override {}
      };
      auto log = std::make_shared<die_at_t>();
      log->line = moment.line;
      mv::log::set_log(log);
      try {
        for (int i = 0; i < moment.starts; ++i) start();
      } catch (...) {
      }
      ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(count(tests::shell("ip route show table all") + tests::shell("ip rule"), "100"), 1u);
    EXPECT_TRUE(exists(state_file));

    start();
    EXPECT_EQ(count(tests::shell("ip route show table all"), "local default dev lo table"), 1u);
    EXPECT_EQ(count(tests::shell("ip rule"), rule_100), 1u);
    routing.reset();
    EXPECT_EQ(count(tests::shell("ip route show table all"), "local default dev lo table"), 0u);
    EXPECT_EQ(count(tests::shell("ip rule"), "fwmark"), 0u);
    EXPECT_FALSE(exists(state_file));
    routing = std::make_unique<fw::service::routing_t>(config, marks);
  }
}

// With IPv6: the rule and route in a table chosen among the IPv6 ones and recorded; a process with IPv6
// killed has its record honoured by the next process, which runs without IPv6 and records none.
TEST_F(Routing, Ipv6InstallsBesideIpv4AndGoesOnDestructionAndAfterACrash) {
  tests::enter_fresh_netns();
  const auto ipv6_objects = [] { return tests::shell("ip -6 rule | grep fwmark; ip -6 route show table 101", true); };
  tests::shell("ip -6 route add local default dev lo table 100"); // table 100 is taken for IPv6 only
  routing = std::make_unique<fw::service::routing_t>(config, marks, true);
  start();
  routing->start();
  EXPECT_EQ(ipv6_objects(), "32765:\tfrom all fwmark 0x10/0x10 lookup 101\n"
                            "local default dev lo metric 2147483647 pref medium\n");
  EXPECT_EQ(count(tests::shell("ip rule"), rule_100), 1u);
  EXPECT_EQ(recorded().ipv6_table_id(), 101u);
  routing.reset();
  EXPECT_EQ(ipv6_objects(), "");

  const pid_t child = ::fork();
  if (child == 0) {
    (new fw::service::routing_t(config, marks, true))->start(); // never destroyed
    ::_exit(0);
  }
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  ASSERT_NE(ipv6_objects(), "");
  routing = std::make_unique<fw::service::routing_t>(config, marks, false);
  routing->start();
  EXPECT_EQ(ipv6_objects(), "");
  EXPECT_FALSE(recorded().has_ipv6_table_id());
  EXPECT_EQ(count(tests::shell("ip rule"), rule_100), 1u);
}
