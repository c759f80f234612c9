// The ip_tables codec against the kernel, inside a private network namespace, cross-checked with the
// iptables tools.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fw/linux/ip_tables/codec.hpp"
#include "fw/linux/ip_tables/ext_comment.hpp"
#include "fw/linux/ip_tables/ext_mark.hpp"
#include "fw/linux/ip_tables/ext_nfqueue.hpp"
#include "fw/linux/ip_tables/ext_tcp.hpp"
#include "fw/linux/ip_tables/ext_tproxy.hpp"
#include "fw/linux/ip_tables/revision.hpp"
#include "tests/support/netns.hpp"

namespace ipt = fw::linux::ip_tables;

namespace {

// iptables-legacy-save (or ip6tables-) output of one table without its time-stamped comment lines.
std::string save(const std::string &table, bool counters = true, bool v6 = false) {
  std::istringstream in(tests::shell(std::string(v6 ? "ip6" : "ip") + "tables-legacy-save " + (counters ? "-c " : "") +
                                     "-t " + table));
  std::string line, out;
  while (std::getline(in, line))
    if (!line.starts_with("#")) out += line + "\n";
  return out;
}

in_addr address(const char *text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a;
}

// A refused TCP connection over loopback: one SYN and one RST through OUTPUT and INPUT.
void knock(bool v6) { tests::shell(std::string("bash -c 'exec 3<>/dev/tcp/") + (v6 ? "::1" : "127.0.0.1") + "/9' 2>/dev/null", true); }

// The mangle table as written equals the one the tool builds from the command lines ($T -t mangle -A ...).
void expect_saved_as(const std::string &written, bool v6, const std::string &lines) {
  tests::shell(std::string("set -e; T='") + (v6 ? "ip6" : "ip") + "tables-legacy -t mangle'\n$T -F\n" + lines);
  EXPECT_EQ(written, save("mangle", false, v6));
}

} // namespace

// Foreign tables, read and written back unchanged, for both families.
template <typename Table, bool v6> void foreign_round_trip(Table (*read)(const std::string &), void (*write)(const std::string &, const Table &)) {
  tests::enter_fresh_netns();
  tests::shell(std::string("set -e; T=") + (v6 ? "ip6tables-legacy NET=2001:db8::/32 ME=::1" : "iptables-legacy NET=10.0.0.0/8 ME=10.1.2.3") + R"(
    $T -N audit
    $T -N empty
    $T -P FORWARD DROP
    $T -A INPUT -i lo -p tcp -m multiport --dports 22,80,443 -m comment --comment "web ports" -j ACCEPT
    $T -A INPUT -s $NET ! -d $ME -j audit
    $T -A OUTPUT -o lo -j audit
    $T -A audit -m mark --mark 0x4/0x4 -j RETURN
    $T -A audit -p tcp -m comment --comment counted
    $T -A audit -j empty
    $T -t mangle -A OUTPUT -m mark ! --mark 0x1 -j MARK --set-xmark 0x2/0x6
    $T -t mangle -A PREROUTING -p tcp --tcp-flags SYN,ACK SYN -j CONNMARK --set-mark 0x8)" +
               (v6 ? "" : "\n$T -A OUTPUT -p icmp\n$T -t nat -A POSTROUTING -o eth9 -j MASQUERADE"));
  const std::vector<std::string> tables = v6 ? std::vector<std::string>{"filter", "mangle"} : std::vector<std::string>{"filter", "mangle", "nat"};
  const auto save_all = [&] {
    std::string all;
    for (const auto &name : tables) all += save(name, true, v6);
    return all;
  };
  knock(v6);
  const std::string before = save_all();
  // The rule's packet count, as iptables-legacy-save -c prints it.
  const auto counted = [](int n) { return testing::ContainsRegex("\\[" + std::to_string(n) + ":[0-9]+\\] -A audit -p tcp -m comment --comment counted\n"); };
  ASSERT_THAT(before, counted(2));
  for (const auto &name : tables) {
    const Table table = read(name);
    write(name, table);
    EXPECT_EQ(read(name), table) << name;
  }
  EXPECT_EQ(save_all(), before);
  // The kernel still follows the jumps into the user chain, where the traffic is counted.
  knock(v6);
  EXPECT_THAT(save("filter", true, v6), counted(4));
}

TEST(IpTablesKernel, ForeignTablesRoundTripWithRulesAndCounters) { foreign_round_trip<ipt::table_t, false>(ipt::read_table, ipt::write_table); }
TEST(IpTablesKernel, ForeignTables6RoundTripWithRulesAndCounters) { foreign_round_trip<ipt::table6_t, true>(ipt::read_table6, ipt::write_table6); }

TEST(IpTablesKernel, BuiltRulesReadAsTheEquivalentCommandLines) {
  tests::enter_fresh_netns();
  ipt::table_t table = ipt::read_table("mangle");
  auto &prerouting = table.builtin_chains.at(ipt::hook_prerouting).rules;
  auto &output = table.builtin_chains.at(ipt::hook_output).rules;
  const std::uint16_t ports[] = {25, 110, 143};
  prerouting.push_back(ipt::rule_t()
                           .append_match(ipt::comment_match("movri-firewall"))
                           .append_match(ipt::mark_match(0, 0x6))
                           .append_match(ipt::connmark_match(0x4, 0x6))
                           .set_target(ipt::mark_target(0x1, 0x1)));
  prerouting.push_back(ipt::rule_t()
                           .set_protocol(IPPROTO_TCP)
                           .append_match(ipt::comment_match("movri-firewall"))
                           .append_match(ipt::mark_match(0x6, 0x6, true))
                           .append_match(ipt::connmark_match(0x2, 0x6))
                           .set_target(ipt::tproxy_target(address("127.0.0.1"), 3128, 0x1, 0x1)));
  output.push_back(ipt::rule_t()
                       .set_protocol(IPPROTO_TCP)
                       .append_match(ipt::comment_match("movri-firewall"))
                       .append_match(ipt::tcp_match(ipt::tcp_syn | ipt::tcp_ack, ipt::tcp_syn))
                       .append_match(ipt::multiport_match(ipt::multiport_side_t::destination, ports))
                       .set_target(ipt::nfqueue_target(7, true)));
  output.push_back(ipt::rule_t()
                       .set_out_interface("lo")
                       .set_destination(address("10.0.0.0"), address("255.0.0.0"))
                       .set_inverse_flags(ipt::inv_destination)
                       .append_match(ipt::mark_match(0x2, 0x6))
                       .set_target(ipt::connmark_target(0x2, 0xFFFFFFFF, 0xFFFFFFFF)));
  ipt::write_table("mangle", table);
  expect_saved_as(save("mangle", false), false, R"(
    $T -A PREROUTING -m comment --comment movri-firewall -m mark --mark 0x0/0x6 -m connmark --mark 0x4/0x6 -j MARK --set-xmark 0x1/0x1
    $T -A PREROUTING -p tcp -m comment --comment movri-firewall -m mark ! --mark 0x6/0x6 -m connmark --mark 0x2/0x6 -j TPROXY --on-port 3128 --on-ip 127.0.0.1 --tproxy-mark 0x1/0x1
    $T -A OUTPUT -p tcp -m comment --comment movri-firewall -m tcp --tcp-flags SYN,ACK SYN -m multiport --dports 25,110,143 -j NFQUEUE --queue-num 7 --queue-bypass
    $T -A OUTPUT ! -d 10.0.0.0/8 -o lo -m mark --mark 0x2/0x6 -j CONNMARK --set-xmark 0x2/0xffffffff)");
}

TEST(IpTablesKernel, Built6RulesReadAsTheEquivalentCommandLines) {
  tests::enter_fresh_netns();
  ipt::table6_t table = ipt::read_table6("mangle");
  table.builtin_chains.at(ipt::hook_prerouting)
      .rules.push_back(ipt::rule6_t()
                           .set_protocol(IPPROTO_TCP)
                           .append_match(ipt::comment_match("movri-firewall"))
                           .append_match(ipt::mark_match(0x6, 0x6, true))
                           .set_target(ipt::tproxy_target(in6addr_loopback, 3128, 0x1, 0x1)));
  table.builtin_chains.at(ipt::hook_output)
      .rules.push_back(ipt::rule6_t()
                           .set_protocol(IPPROTO_TCP)
                           .append_match(ipt::comment_match("movri-firewall"))
                           .append_match(ipt::tcp_match(ipt::tcp_syn | ipt::tcp_ack, ipt::tcp_syn))
                           .set_target(ipt::nfqueue_target(7, true)));
  ipt::write_table6("mangle", table);
  EXPECT_EQ(ipt::read_table6("mangle"), table);
  expect_saved_as(save("mangle", false, true), true, R"(
    $T -A PREROUTING -p tcp -m comment --comment movri-firewall -m mark ! --mark 0x6/0x6 -j TPROXY --on-port 3128 --on-ip ::1 --tproxy-mark 0x1/0x1
    $T -A OUTPUT -p tcp -m comment --comment movri-firewall -m tcp --tcp-flags SYN,ACK SYN -j NFQUEUE --queue-num 7 --queue-bypass)");
}
