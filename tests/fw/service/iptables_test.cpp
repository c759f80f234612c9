// The iptables installer against the kernel, cross-checked with iptables-legacy-save; module loading
// and table failures through stand-ins.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <map>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>

#include "fw/linux/ip_tables/codec.hpp"
#include "fw/service/kernel/ip6tables.hpp"
#include "fw/service/kernel/iptables.hpp"
#include "fw/util/module_loader.hpp"
#include "fw/util/process_runner.hpp"
#include "tests/fw/service/service_fixture.hpp"
#include "tests/support/error_text.hpp"
#include "tests/support/text.hpp"

namespace ipt = fw::linux::ip_tables;
using fw::service::iptables_t;

namespace {

std::string save(const std::string &table, bool counters = false) {
  return tests::shell("iptables-legacy-save " + std::string(counters ? "-c " : "") + "-t " + table + " | grep -v '^#'");
}

// modprobe as on a host without the nftables modules: every load fails as modprobe does.
class fake_runner_t : public fw::util::process_runner_t {
public:
  std::vector<std::string> requested;
  std::string run(const std::vector<std::string> &arguments) override {
    requested.push_back(arguments.at(1));
    throw std::runtime_error(arguments.at(0) + " exited with status 256");
  }
};

// The kernel's tables, with a write failure injected per table.
class faulty_tables_t : public iptables_t::table_io_t {
public:
  std::map<std::string, int> write_errors; // errno of every write
  ipt::table_t read_table(const std::string &name) override { return ipt::read_table(name); }
  void write_table(const std::string &name, const ipt::table_t &table) override {
    if (write_errors.count(name))
      throw boost::system::system_error(boost::system::error_code(write_errors[name], boost::system::system_category()),
                                        "Cannot set IP table entries");
    ipt::write_table(name, table);
  }
};

const std::string nat_rule = "-A POSTROUTING -o lo -m comment --comment movri-firewall -m mark --mark 0x1/0x1 -j ACCEPT\n";

std::string nat_table(const std::string &rules) {
  return "*nat\n:PREROUTING ACCEPT [0:0]\n:INPUT ACCEPT [0:0]\n:OUTPUT ACCEPT [0:0]\n:POSTROUTING ACCEPT [0:0]\n" +
         rules + "COMMIT\n";
}

std::string mangle_table(const std::string &rules) {
  return "*mangle\n:PREROUTING ACCEPT [0:0]\n:INPUT ACCEPT [0:0]\n:FORWARD ACCEPT [0:0]\n:OUTPUT ACCEPT [0:0]\n"
         ":POSTROUTING ACCEPT [0:0]\n" +
         rules + "COMMIT\n";
}

// Rules 1 and 2 (PREROUTING) and 4 to 6 (OUTPUT) of the daemon for L 1, C 2, S 4, TPROXY 127.0.0.1:3129.
const std::string prerouting_rules =
    "-A PREROUTING -m comment --comment movri-firewall -m mark --mark 0x0/0x6 -m connmark --mark 0x4/0x6 -j MARK "
    "--set-xmark 0x1/0x1\n"
    "-A PREROUTING -p tcp -m comment --comment movri-firewall -m mark ! --mark 0x6/0x6 -m connmark --mark 0x2/0x6 "
    "-j TPROXY --on-port 3129 --on-ip 127.0.0.1 --tproxy-mark 0x1/0x1\n";
const std::string output_rules =
    "-A OUTPUT -m comment --comment movri-firewall -m mark --mark 0x2/0x6 -j CONNMARK --set-xmark 0x2/0xffffffff\n"
    "-A OUTPUT -m comment --comment movri-firewall -m mark --mark 0x4/0x6 -j CONNMARK --set-xmark 0x4/0xffffffff\n"
    "-A OUTPUT -m comment --comment movri-firewall -m mark --mark 0x0/0x6 -m connmark ! --mark 0x0/0x6 -j MARK "
    "--set-xmark 0x1/0x1\n";

std::string queue_rule(const std::string &chain, int queue) {
  return "-A " + chain +
         " -p tcp -m comment --comment movri-firewall -m tcp --tcp-flags SYN,ACK SYN -m mark --mark 0x0/0x6 -j "
         "NFQUEUE --queue-num " +
         std::to_string(queue) + " --queue-bypass\n";
}

class Iptables : public testing::Test {
protected:
  // One lock file per test process: parallel tests must not see each other's lock.
  const std::string lock_path = testing::TempDir() + "movri-test-xtables." + std::to_string(::getpid()) + ".lock";

  void SetUp() override {
    config.set_autoconfigure_iptables(true);
    config.set_autoconfigure_routing(true);
    config.set_xtables_lock_path(lock_path);
  }
  void TearDown() override {
    iptables.reset(); // its clean-up takes the lock once more
    ::unlink(lock_path.c_str());
  }

  void start() {
    marks.start();
    iptables->start();
  }

  // The ip6tables installer (no module loads here: its mangle rules are ip6tables rules), queues 5 out, 6 in.
  fw::service::ip6tables_t make6(bool enabled) {
    queues.queues = {5, 6, std::nullopt};
    return fw::service::ip6tables_t(config, marks, endpoint, queues, loader, enabled);
  }

  tests::no_sources_t sources;
  tests::log_capture_t log;
  fw::configuration_t config = tests::config_with_marks();
  fw::service::marks_t marks{config, sources};
  boost::asio::ip::tcp::endpoint endpoint{boost::asio::ip::make_address("127.0.0.1"), 3129};
  tests::fake_queues_t queues;
  fake_runner_t runner;
  fw::util::module_loader_t loader{runner};
  faulty_tables_t tables;
  std::unique_ptr<iptables_t> iptables = std::make_unique<iptables_t>(config, marks, endpoint, queues, loader, tables);
};

} // namespace

TEST_F(Iptables, InstallsBothTablesKeepsForeignRulesAndRemovesOnDestruction) {
  tests::enter_fresh_netns();
  tests::shell(R"(set -e
    iptables-legacy -t nat -A POSTROUTING -o eth9 -c 7 700 -j MASQUERADE
    iptables-legacy -t mangle -A OUTPUT -c 5 500 -m mark --mark 0x100 -j ACCEPT)");
  const std::string foreign_nat = save("nat", true), foreign_mangle = save("mangle", true);
  // Every direction with its queue (10 output, 11 input, 12 forward) and no divert mark.
  queues.queues = {10, 11, 12};
  for (auto *mark : {config.mutable_output_divert_mark(), config.mutable_input_divert_mark(),
                     config.mutable_forward_divert_mark()})
    mark->mutable_none();
  config.set_output_divert_enable(true);
  config.set_input_divert_enable(true);
  config.set_forward_divert_enable(true);
  for (int round = 0; round < 2; ++round) { // a second start replaces the rules
    start();
    EXPECT_EQ(save("nat"), nat_table(nat_rule + "-A POSTROUTING -o eth9 -j MASQUERADE\n"));
    EXPECT_EQ(save("mangle"), mangle_table(prerouting_rules + queue_rule("INPUT", 11) + queue_rule("FORWARD", 12) +
                                           "-A OUTPUT -m mark --mark 0x100 -j ACCEPT\n" + queue_rule("OUTPUT", 10) +
                                           output_rules));
    EXPECT_TRUE(iptables->installed());
  }
  // No nftables here: the probe asked for its modules at each start, and nothing else was loaded.
  EXPECT_EQ(runner.requested, (std::vector<std::string>{"nft_tproxy", "nft_tproxy"}));
  EXPECT_GE(log.count("Debug: Iptables rules installed"), 1u) << log.all();
  EXPECT_NE(save("mangle", true).find("[5:500] -A OUTPUT -m mark --mark 0x100 -j ACCEPT"), std::string::npos);

  // The lock is free again after the start.
  const int fd = ::open(config.xtables_lock_path().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);

  iptables.reset();
  EXPECT_EQ(save("nat", true), foreign_nat);
  EXPECT_EQ(save("mangle", true), foreign_mangle);
}

TEST_F(Iptables, LeftoversOfACrashedRunAreCleaned) {
  tests::enter_fresh_netns();
  tests::shell(R"(set -e
    iptables-legacy -t mangle -N movri-firewall-divert
    iptables-legacy -t mangle -A movri-firewall-divert -j MARK --set-mark 0x1
    iptables-legacy -t mangle -A OUTPUT -m comment --comment movri-firewall -j ACCEPT
    iptables-legacy -t mangle -A OUTPUT -m mark --mark 0x200 -m comment --comment movri-firewall -j DROP
    iptables-legacy -t mangle -A OUTPUT -m comment --comment other -j ACCEPT
    iptables-legacy -t nat -A POSTROUTING -o lo -m comment --comment movri-firewall -m mark --mark 0x8/0x8 -j ACCEPT)");
  start();
  EXPECT_EQ(save("nat"), nat_table(nat_rule));
  EXPECT_EQ(save("mangle"),
            mangle_table(prerouting_rules + "-A OUTPUT -m comment --comment other -j ACCEPT\n" + output_rules));
}

TEST_F(Iptables, FailedStartRemovesWhatItWrote) {
  tests::enter_fresh_netns();
  tables.write_errors["nat"] = EPERM;
  EXPECT_EQ(tests::error_text([&] { start(); }), "Cannot set IP table entries: Operation not permitted");
  EXPECT_FALSE(iptables->installed());
  EXPECT_EQ(save("mangle"), mangle_table("")); // written before the nat table failed, removed again
}

// The daemon's IPv6 rules in mangle, then nat.
std::string own_ip6() {
  return tests::shell("(ip6tables-legacy-save -t mangle; ip6tables-legacy-save -t nat) | grep movri-firewall", true);
}

// IPv6 off creates nothing, not even an empty table; on, one copy of the daemon's rules goes beside the
// foreign ones until destruction; off again, what a crashed process left (rules, user chain) goes.
TEST_F(Iptables, Ip6InstallsOneCopyBesideForeignRulesAndDisabledRemovesLeftovers) {
  tests::enter_fresh_netns();
  marks.start();
  make6(false).start();
  EXPECT_EQ(tests::shell("cat /proc/net/ip6_tables_names"), "");
  const auto save6 = [] { return tests::shell("ip6tables-legacy-save -c -t mangle | grep -v '^#'"); };
  tests::shell("ip6tables-legacy -t mangle -A OUTPUT -p udp -j MARK --set-mark 0x100");
  tests::shell("bash -c 'echo > /dev/udp/::1/9'", true);
  const std::string foreign = save6();
  ASSERT_EQ(tests::count(foreign, "[1:"), 1u) << foreign;
  {
    auto installer = make6(true);
    installer.start();
    installer.start();
    EXPECT_TRUE(installer.installed());
    std::string v4 = prerouting_rules + queue_rule("INPUT", 6) + queue_rule("OUTPUT", 5) + output_rules + nat_rule;
    v4.replace(v4.find("--on-ip 127.0.0.1"), 17, "--on-ip ::1");
    EXPECT_EQ(own_ip6(), v4);
  }
  EXPECT_EQ(save6(), foreign);
  EXPECT_EQ(own_ip6(), "");

  tests::shell("ip6tables-legacy -t mangle -A OUTPUT -m comment --comment movri-firewall -j ACCEPT; "
               "ip6tables-legacy -t mangle -N movri-firewall-divert");
  auto installer = make6(false);
  installer.start();
  EXPECT_FALSE(installer.installed());
  EXPECT_EQ(own_ip6(), "");
}
