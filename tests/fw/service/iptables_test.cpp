// The iptables rule installer against the kernel's tables in a private network namespace, cross-checked
// with iptables-legacy-save; module loading and table failures through stand-ins.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "fw/linux/ip_tables/codec.hpp"
#include "fw/service/divert_queues.hpp"
#include "fw/service/kernel/iptables.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/util/module_loader.hpp"
#include "fw/util/process_runner.hpp"
#include "linux_firewall_config.pb.h"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/error_text.hpp"

namespace ipt = fw::linux::ip_tables;
using fw::service::iptables_t;

namespace {

std::string save(const std::string &table, bool counters = false) {
  std::istringstream in(tests::shell("iptables-legacy-save " + std::string(counters ? "-c " : "") + "-t " + table));
  std::string line, out;
  while (std::getline(in, line))
    if (!line.starts_with("#")) out += line + "\n";
  return out;
}

class capture_log_t : public mv::log::cf_log_t {
public:
  std::vector<std::pair<int, std::string>> records;
  void write(int level, std::string_view text) override { records.emplace_back(level, text); }
  void out_of_memory() noexcept override {}
  bool has(int level, const std::string &text) const {
    for (const auto &record : records)
      if (record.first == level && record.second == text) return true;
    return false;
  }
};

class fake_queues_t : public fw::service::divert_queues_t {
public:
  std::array<std::optional<std::uint16_t>, 3> queues; // output, input, forward
  std::optional<std::uint16_t> queue_number(unsigned direction) const override {
    return direction < 3 ? queues[direction] : std::nullopt;
  }
};

// modprobe as on a host: the modules in `available` load, the others fail as modprobe does.
class fake_runner_t : public fw::util::process_runner_t {
public:
  std::set<std::string> available;
  std::vector<std::string> requested;
  std::string run(const std::vector<std::string> &arguments) override {
    requested.push_back(arguments.at(1));
    if (!available.count(arguments.at(1)))
      throw std::runtime_error(arguments.at(0) + " exited with status 256: modprobe: FATAL: Module " + arguments.at(1) +
                               " not found.\n");
    return "";
  }
};

// The kernel's tables, with failures injected per table and step.
class faulty_tables_t : public iptables_t::table_io_t {
public:
  std::map<std::string, int> missing_reads; // reads that fail as for a table whose module is not loaded
  std::map<std::string, int> read_errors, write_errors; // errno of every read / write
  ipt::table_t read_table(const std::string &name) override {
    if (missing_reads[name] > 0) {
      --missing_reads[name];
      throw error(ENOENT, "Cannot get IP table info");
    }
    if (read_errors.count(name)) throw error(read_errors[name], "Cannot get IP table info");
    return ipt::read_table(name);
  }
  void write_table(const std::string &name, const ipt::table_t &table) override {
    if (write_errors.count(name)) throw error(write_errors[name], "Cannot set IP table entries");
    ipt::write_table(name, table);
  }
  static boost::system::system_error error(int code, const char *what) {
    return boost::system::system_error(boost::system::error_code(code, boost::system::system_category()), what);
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
    mv::log::threshold = mv::log::Debug;
    mv::log::set_log(log);
    config.set_autoconfigure_iptables(true);
    config.set_autoconfigure_routing(true);
    config.set_xtables_lock_path(lock_path);
    config.mutable_local_delivery_mark()->set_manual(1);
    config.mutable_client_packets_mark()->set_manual(2);
    config.mutable_server_packets_mark()->set_manual(4);
  }
  void TearDown() override {
    iptables.reset(); // its clean-up takes the lock once more
    mv::log::set_log(mv::log::default_log());
    ::unlink(lock_path.c_str());
  }

  // Enables a direction with a queue and a divert mark (0: none): 0 output, 1 input, 2 forward.
  void divert(unsigned direction, std::uint16_t queue, std::uint32_t mark) {
    queues.queues[direction] = queue;
    mv::FwMarkOptional *marks[] = {config.mutable_output_divert_mark(), config.mutable_input_divert_mark(),
                                   config.mutable_forward_divert_mark()};
    if (mark)
      marks[direction]->set_manual(mark);
    else
      marks[direction]->mutable_none();
    switch (direction) {
    case 0: config.set_output_divert_enable(true); break;
    case 1: config.set_input_divert_enable(true); break;
    default: config.set_forward_divert_enable(true);
    }
  }

  void start() {
    marks.start();
    iptables->start();
  }

  std::string start_error() {
    return tests::error_text([&] { start(); });
  }

  class no_sources_t : public fw::service::marks_t::delegate_t {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> routing_marks() override { return {}; }
    std::optional<std::uint32_t> nftables_marks() override { return std::nullopt; }
  } sources;

  std::shared_ptr<capture_log_t> log = std::make_shared<capture_log_t>();
  mv::DarorUvurarevUzuvid config;
  fw::service::marks_t marks{config, sources};
  boost::asio::ip::tcp::endpoint endpoint{boost::asio::ip::make_address("127.0.0.1"), 3129};
  fake_queues_t queues;
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
  divert(0, 10, 0);
  divert(1, 11, 0);
  divert(2, 12, 0);

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
  EXPECT_TRUE(log->has(mv::log::Debug, "Iptables rules installed"));
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

TEST_F(Iptables, SecurityOptionAddsConnmarkAndSynAckRules) {
  tests::enter_fresh_netns();
  config.set_process_ip_security_option(true);
  divert(0, 20, 0x10);
  divert(1, 21, 0x20);
  divert(2, 22, 0); // no divert mark: no security rules for it
  start();
  const auto connmark_rule = [](const char *mark, const char *mask, const char *d) {
    return std::string("-A OUTPUT -m comment --comment movri-firewall -m mark --mark ") + mark + "/" + mask +
           " -j CONNMARK --set-xmark " + d + "/" + d + "\n";
  };
  const auto syn_ack_rule = [](const char *ctmark, const char *mask, int queue) {
    return std::string("-A INPUT -p tcp -m comment --comment movri-firewall -m tcp --tcp-flags SYN,ACK SYN,ACK -m "
                       "mark --mark 0x0/0x6 -m connmark --mark ") +
           ctmark + "/" + mask + " -j NFQUEUE --queue-num " + std::to_string(queue) + " --queue-bypass\n";
  };
  EXPECT_EQ(save("mangle"),
            mangle_table(prerouting_rules + queue_rule("INPUT", 21) + syn_ack_rule("0x14", "0x16", 20) +
                         syn_ack_rule("0x24", "0x26", 21) + queue_rule("FORWARD", 22) + queue_rule("OUTPUT", 20) +
                         output_rules + connmark_rule("0x14", "0x16", "0x10") + connmark_rule("0x24", "0x26", "0x20")));
}

TEST_F(Iptables, InputOnlyGetsItsQueueRuleAndNoOther) {
  tests::enter_fresh_netns();
  divert(1, 3, 0x10);
  start();
  EXPECT_EQ(save("mangle"), mangle_table(prerouting_rules + queue_rule("INPUT", 3) + output_rules));
  EXPECT_EQ(save("nat"), nat_table(nat_rule));
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

TEST_F(Iptables, ReferencedDivertChainStopsTheStartAndLeavesNothingInstalled) {
  tests::enter_fresh_netns();
  start(); // an earlier, successful start
  tests::shell(R"(set -e
    iptables-legacy -t mangle -N movri-firewall-divert
    iptables-legacy -t mangle -N audit
    iptables-legacy -t mangle -A audit -j movri-firewall-divert)");
  EXPECT_EQ(start_error(), "chain movri-firewall-divert is referenced from chain audit (this might be caused by "
                           "improper iptables manual configuration)");
  EXPECT_FALSE(iptables->installed());
  EXPECT_EQ(save("nat"), nat_table(""));
  EXPECT_EQ(save("mangle").find("movri-firewall --"), std::string::npos) << save("mangle");

  tests::shell("iptables-legacy -t mangle -F audit; iptables-legacy -t mangle -A PREROUTING -j movri-firewall-divert");
  EXPECT_EQ(start_error(), "chain movri-firewall-divert is referenced from chain PREROUTING (this might be caused by "
                           "improper iptables manual configuration)");
}

TEST_F(Iptables, WorkingNftablesLeavesOnlyTheNatRule) {
  tests::enter_fresh_netns();
  divert(0, 1, 0);
  start();
  ASSERT_NE(save("mangle").find("NFQUEUE"), std::string::npos);
  runner.available = {"nft_tproxy", "nft_ct", "nft_queue"};
  start(); // the rules of the start without nftables go
  EXPECT_EQ(runner.requested.size(), 1u + 3u);
  EXPECT_EQ(save("mangle"), mangle_table(""));
  EXPECT_EQ(save("nat"), nat_table(nat_rule));
  EXPECT_TRUE(iptables->installed());
}

TEST_F(Iptables, AutoconfigurationOffRemovesTheRules) {
  tests::enter_fresh_netns();
  start();
  config.set_autoconfigure_iptables(false);
  start();
  EXPECT_FALSE(iptables->installed());
  EXPECT_EQ(save("nat"), nat_table(""));
  EXPECT_EQ(save("mangle"), mangle_table(""));
  EXPECT_EQ(runner.requested.size(), 2u); // the probe runs whatever the configuration
}

TEST_F(Iptables, MissingTableModuleIsLoadedOnDemand) {
  tests::enter_fresh_netns();
  runner.available = {"iptable_mangle"};
  tables.missing_reads["mangle"] = 1;
  start();
  EXPECT_EQ(runner.requested, (std::vector<std::string>{"nft_tproxy", "iptable_mangle"}));
  EXPECT_TRUE(log->has(mv::log::Debug, "Cannot install iptables mangle rules: Cannot get IP table info: No such "
                                       "file or directory; requesting iptable_mangle kernel module"));
  EXPECT_TRUE(log->has(mv::log::Debug, "Kernel module iptable_mangle loaded"));
  EXPECT_NE(save("mangle").find("TPROXY"), std::string::npos);

  // The optional nat table only warns when its module cannot be loaded.
  tables.missing_reads["nat"] = 1;
  start();
  EXPECT_TRUE(log->has(mv::log::Warning, "Unable to load iptable_nat kernel module: /sbin/modprobe exited with "
                                         "status 256: modprobe: FATAL: Module iptable_nat not found.\n; iptables nat "
                                         "rules won't be installed"));
  EXPECT_TRUE(iptables->installed());

  // The required mangle table fails the start with modprobe's text, and nothing stays installed.
  tables.missing_reads["mangle"] = 1;
  runner.available.clear();
  EXPECT_EQ(start_error(),
            "/sbin/modprobe exited with status 256: modprobe: FATAL: Module iptable_mangle not found.\n");
  EXPECT_FALSE(iptables->installed());
  EXPECT_EQ(save("mangle"), mangle_table(""));
}

TEST_F(Iptables, FailedStartRemovesWhatItWrote) {
  tests::enter_fresh_netns();
  tables.write_errors["nat"] = EPERM;
  EXPECT_EQ(start_error(), "Cannot set IP table entries: Operation not permitted");
  EXPECT_FALSE(iptables->installed());
  EXPECT_EQ(save("mangle"), mangle_table("")); // written before the nat table failed, removed again
}

TEST_F(Iptables, RemovalNeverThrows) {
  tests::enter_fresh_netns();
  start();
  tables.read_errors["nat"] = EIO;
  iptables.reset();
  EXPECT_TRUE(log->has(mv::log::Warning, "Cannot uninstall iptables rules from table nat: Cannot get IP table info: "
                                         "Input/output error"));
  EXPECT_EQ(save("mangle"), mangle_table("")); // the next table was still cleaned
  EXPECT_EQ(save("nat"), nat_table(nat_rule));

  iptables = std::make_unique<iptables_t>(config, marks, endpoint, queues, loader, tables);
  tables.read_errors.clear();
  start();
  config.set_xtables_lock_path("/nonexistent/dir/xtables.lock");
  iptables.reset();
  EXPECT_TRUE(log->has(mv::log::Warning, "Cannot uninstall iptables rules: Cannot open file "
                                         "/nonexistent/dir/xtables.lock: No such file or directory"));
}

TEST_F(Iptables, StartErrors) {
  tests::enter_fresh_netns();
  config.set_xtables_lock_path("/nonexistent/dir/xtables.lock");
  EXPECT_EQ(start_error(), "Cannot open file /nonexistent/dir/xtables.lock: No such file or directory");
  EXPECT_FALSE(iptables->installed());

  config.set_xtables_lock_path("");
  endpoint = boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("::1"), 3129);
  EXPECT_THROW(start(), boost::asio::ip::bad_address_cast);
  EXPECT_EQ(save("mangle"), mangle_table(""));
}
