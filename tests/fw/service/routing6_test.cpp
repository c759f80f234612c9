// The IPv6 half of the local delivery routing against the kernel in a private network namespace,
// cross-checked with ip -6: the rule and route in a table chosen among the IPv6 ones, their record in
// the state file, and their removal on destruction and by a later process without IPv6 (after a crash).
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
#include "tests/support/netns.hpp"
#include "tests/support/text.hpp"

TEST(Routing6, InstallsBesideIpv4AndGoesOnDestructionAndAfterACrash) {
  tests::enter_fresh_netns();
  std::string dir = testing::TempDir() + "movri-routing6-XXXXXX";
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  fw::configuration_t config;
  config.set_var_lib_dir(dir);
  config.set_autoconfigure_routing(true);
  config.mutable_local_delivery_mark()->set_manual(0x10);
  config.mutable_client_packets_mark()->set_manual(0x20);
  config.mutable_server_packets_mark()->set_manual(0x40);
  fw::service::marks_t marks{config};
  marks.start();
  const auto ipv6_objects = [] { return tests::shell("ip -6 rule | grep fwmark; ip -6 route show table 101", true); };
  const auto recorded_ipv6_table = [&] {
    fw::service::RuleInfo info;
    std::ifstream in(dir + "/rule_info.dat", std::ios::binary);
    EXPECT_TRUE(info.ParseFromIstream(&in));
    return info.has_ipv6_table_id() ? info.ipv6_table_id() : 0u;
  };

  tests::shell("ip -6 route add local default dev lo table 100"); // table 100 is taken for IPv6 only
  auto routing = std::make_unique<fw::service::routing_t>(config, marks, true);
  routing->start();
  routing->start();
  EXPECT_EQ(ipv6_objects(), "32765:\tfrom all fwmark 0x10/0x10 lookup 101\n"
                            "local default dev lo metric 2147483647 pref medium\n");
  EXPECT_EQ(tests::count(tests::shell("ip rule"), "fwmark 0x10/0x10 lookup 100"), 1u);
  EXPECT_EQ(recorded_ipv6_table(), 101u);
  routing.reset();
  EXPECT_EQ(ipv6_objects(), "");

  // A process with IPv6 killed: its record is honoured by the next process, which runs without IPv6 and
  // records none.
  const pid_t child = ::fork();
  if (child == 0) {
    fw::service::routing_t killed(config, marks, true);
    killed.start();
    ::_exit(0); // no destructor runs
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_NE(ipv6_objects(), "");
  fw::service::routing_t later(config, marks, false);
  later.start();
  EXPECT_EQ(ipv6_objects(), "");
  EXPECT_EQ(recorded_ipv6_table(), 0u);
  EXPECT_EQ(tests::count(tests::shell("ip rule"), "fwmark 0x10/0x10 lookup 100"), 1u);
  tests::shell("rm -rf '" + dir + "'");
}
