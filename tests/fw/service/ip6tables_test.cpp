// The ip6tables half of the rule installer against the kernel's tables in a private network namespace,
// cross-checked with ip6tables-legacy-save.
#include <unistd.h>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "fw/util/configuration.hpp"
#include "fw/service/divert_queues.hpp"
#include "fw/service/kernel/ip6tables.hpp"
#include "fw/util/module_loader.hpp"
#include "fw/util/process_runner.hpp"
#include "tests/fw/service/service_fixture.hpp"
#include "tests/support/text.hpp"

namespace {

class queues_t : public fw::service::divert_queues_t {
public:
  std::optional<std::uint16_t> queue_number(unsigned direction) const override {
    return direction == 0 ? std::optional<std::uint16_t>(5) : direction == 1 ? std::optional<std::uint16_t>(6) : std::nullopt;
  }
};

// No module loads: the nftables probe fails and the mangle rules are ip6tables rules.
class no_modules_t : public fw::util::process_runner_t {
public:
  std::string run(const std::vector<std::string> &arguments) override { throw std::runtime_error("no modules"); }
};

std::string save6(const std::string &options) {
  return tests::shell("ip6tables-legacy-save " + options + " | grep -v '^#'");
}

// The daemon's rules in mangle, then nat.
std::string own_in_kernel() {
  return tests::shell("(ip6tables-legacy-save -t mangle; ip6tables-legacy-save -t nat) | grep movri-firewall", true);
}

class Ip6tables : public testing::Test {
protected:
  void SetUp() override {
    tests::enter_fresh_netns();
    config.set_autoconfigure_iptables(true);
    config.set_xtables_lock_path(testing::TempDir() + "movri-test-xtables." + std::to_string(::getpid()) + ".lock");
    marks.start();
  }
  fw::service::ip6tables_t make(bool enabled) {
    return fw::service::ip6tables_t(config, marks, endpoint, queues, loader, enabled);
  }

  fw::configuration_t config = tests::config_with_marks();
  fw::service::marks_t marks{config};
  boost::asio::ip::tcp::endpoint endpoint{boost::asio::ip::make_address("127.0.0.1"), 3129};
  queues_t queues;
  no_modules_t runner;
  fw::util::module_loader_t loader{runner};
};

const char *const own_rules =
    "-A PREROUTING -m comment --comment movri-firewall -m mark --mark 0x0/0x6 -m connmark --mark 0x4/0x6 -j MARK "
    "--set-xmark 0x1/0x1\n"
    "-A PREROUTING -p tcp -m comment --comment movri-firewall -m mark ! --mark 0x6/0x6 -m connmark --mark 0x2/0x6 "
    "-j TPROXY --on-port 3129 --on-ip ::1 --tproxy-mark 0x1/0x1\n"
    "-A INPUT -p tcp -m comment --comment movri-firewall -m tcp --tcp-flags SYN,ACK SYN -m mark --mark 0x0/0x6 -j "
    "NFQUEUE --queue-num 6 --queue-bypass\n"
    "-A OUTPUT -p tcp -m comment --comment movri-firewall -m tcp --tcp-flags SYN,ACK SYN -m mark --mark 0x0/0x6 -j "
    "NFQUEUE --queue-num 5 --queue-bypass\n"
    "-A OUTPUT -m comment --comment movri-firewall -m mark --mark 0x2/0x6 -j CONNMARK --set-xmark 0x2/0xffffffff\n"
    "-A OUTPUT -m comment --comment movri-firewall -m mark --mark 0x4/0x6 -j CONNMARK --set-xmark 0x4/0xffffffff\n"
    "-A OUTPUT -m comment --comment movri-firewall -m mark --mark 0x0/0x6 -m connmark ! --mark 0x0/0x6 -j MARK "
    "--set-xmark 0x1/0x1\n"
    "-A POSTROUTING -o lo -m comment --comment movri-firewall -m mark --mark 0x1/0x1 -j ACCEPT\n";

} // namespace

TEST_F(Ip6tables, InstallsOneCopyBesideForeignRulesAndRemovesItsOwn) {
  tests::shell("ip6tables-legacy -t mangle -A OUTPUT -p udp -j MARK --set-mark 0x100");
  tests::shell("bash -c 'echo > /dev/udp/::1/9'", true);
  const std::string foreign = save6("-c -t mangle");
  ASSERT_EQ(tests::count(foreign, "[1:"), 1u) << foreign;
  {
    auto installer = make(true);
    installer.start();
    installer.start();
    EXPECT_TRUE(installer.installed());
    EXPECT_EQ(own_in_kernel(), own_rules);
  }
  EXPECT_EQ(save6("-c -t mangle"), foreign);
  EXPECT_EQ(own_in_kernel(), "");
}

// IPv6 off: nothing is created, not even an empty table, and rules (and the user chain) a crashed process
// left are removed.
TEST_F(Ip6tables, DisabledLeavesNothingAndRemovesLeftovers) {
  make(false).start();
  EXPECT_EQ(tests::shell("cat /proc/net/ip6_tables_names"), "");
  tests::shell("ip6tables-legacy -t mangle -A OUTPUT -m comment --comment movri-firewall -j ACCEPT; "
               "ip6tables-legacy -t mangle -N movri-firewall-divert");
  auto installer = make(false);
  installer.start();
  EXPECT_FALSE(installer.installed());
  EXPECT_EQ(own_in_kernel(), "");
}

// Bits that other software's ip6tables rules use are not chosen for automatic marks.
TEST_F(Ip6tables, ForeignIp6tablesMarksAreNotFree) {
  tests::shell("ip6tables-legacy -t mangle -A OUTPUT -m mark --mark 0x1 -j MARK --set-mark 0x2");
  config.set_autoconfigure_routing(true);
  config.mutable_local_delivery_mark()->mutable_auto_();
  marks.start();
  EXPECT_EQ(marks.local_delivery_mark(), 0x8u); // 1 and 2 taken, 4 is the manual server packets mark
}
