// The IPv6 half of the local delivery routing against the kernel in a private network namespace,
// cross-checked with ip -6: the rule and route beside the IPv4 ones, their record in the state file,
// and their removal on destruction and after a crash (also when the next process runs without IPv6).
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "fw/service/kernel/marks.hpp"
#include "fw/service/kernel/routing.hpp"
#include "fw/service/rule_info.pb.h"
#include "linux_firewall_config.pb.h"
#include "tests/support/netns.hpp"
#include "tests/support/text.hpp"

namespace {

class Routing6 : public testing::Test {
protected:
  void SetUp() override {
    tests::enter_fresh_netns();
    std::string pattern = testing::TempDir() + "movri-routing6-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    config.set_var_lib_dir(dir);
    config.set_autoconfigure_routing(true);
    config.mutable_local_delivery_mark()->set_manual(0x10);
    config.mutable_client_packets_mark()->set_manual(0x20);
    config.mutable_server_packets_mark()->set_manual(0x40);
    marks.start();
  }
  void TearDown() override { tests::shell("rm -rf '" + dir + "'", true); }

  fw::service::RuleInfo state() {
    fw::service::RuleInfo info;
    std::ifstream in(dir + "/rule_info.dat", std::ios::binary);
    EXPECT_TRUE(info.ParseFromIstream(&in));
    return info;
  }
  static std::string ipv6_objects() {
    return tests::shell("ip -6 rule | grep fwmark; ip -6 route show table all | grep 'table 1[0-9][0-9]'", true);
  }

  std::string dir;
  mv::DarorUvurarevUzuvid config;
  fw::service::marks_t marks{config};
};


} // namespace

TEST_F(Routing6, InstallsBesideIpv4AndRemovesOnDestruction) {
  tests::shell("ip -6 route add local default dev lo table 100"); // the IPv6 table is chosen on its own
  auto routing = std::make_unique<fw::service::routing_t>(config, marks, true);
  routing->start();
  routing->start();
  EXPECT_EQ(tests::count(tests::shell("ip -6 rule"), "fwmark 0x10/0x10 lookup 101"), 1u);
  EXPECT_EQ(tests::count(tests::shell("ip -6 route show table 101"), "local default dev lo metric 2147483647 pref medium"), 1u);
  EXPECT_EQ(tests::count(tests::shell("ip rule"), "fwmark 0x10/0x10 lookup 100"), 1u);
  EXPECT_EQ(state().table_id(), 100u);
  EXPECT_EQ(state().ipv6_table_id(), 101u);
  routing.reset();
  EXPECT_EQ(tests::shell("ip -6 rule | grep -c fwmark", true), "0\n");
  EXPECT_EQ(tests::shell("ip -6 route show table 101"), "");
}

// A record that a process with IPv6 left behind is honoured by a process without it, which installs
// nothing for IPv6; a record from before IPv6 (no IPv6 table) still reads.
TEST_F(Routing6, CrashLeftoversGoAlsoWithoutIpv6) {
  tests::shell("ip -6 route add local default dev lo table 100 proto boot metric 2147483647; "
               "ip -6 rule add fwmark 0x10/0x10 lookup 100");
  fw::service::RuleInfo info;
  info.set_table_id(100);
  info.set_mark(0x10);
  info.set_priority(2147483647);
  info.set_ipv6_table_id(100);
  {
    std::ofstream out(dir + "/rule_info.dat", std::ios::binary);
    ASSERT_TRUE(info.SerializeToOstream(&out));
  }
  fw::service::routing_t routing(config, marks, false);
  routing.start();
  EXPECT_EQ(ipv6_objects(), "");
  EXPECT_FALSE(state().has_ipv6_table_id());
  EXPECT_EQ(tests::count(tests::shell("ip rule"), "fwmark 0x10/0x10 lookup 100"), 1u);
}
