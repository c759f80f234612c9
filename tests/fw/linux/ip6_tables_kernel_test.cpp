// The ip6_tables side of the table codec against the kernel, inside a private network namespace,
// cross-checked with ip6tables-legacy.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "fw/linux/ip_tables/codec.hpp"
#include "fw/linux/ip_tables/ext_comment.hpp"
#include "fw/linux/ip_tables/ext_mark.hpp"
#include "fw/linux/ip_tables/ext_nfqueue.hpp"
#include "fw/linux/ip_tables/ext_tcp.hpp"
#include "fw/linux/ip_tables/ext_tproxy.hpp"
#include "tests/support/netns.hpp"

namespace ipt = fw::linux::ip_tables;

namespace {

std::string save6(const std::string &table, bool counters = true) {
  std::istringstream in(tests::shell("ip6tables-legacy-save " + std::string(counters ? "-c " : "") + "-t " + table));
  std::string line, out;
  while (std::getline(in, line))
    if (!line.starts_with("#")) out += line + "\n";
  return out;
}

} // namespace

TEST(Ip6TablesKernel, ForeignTablesRoundTripWithRulesAndCounters) {
  tests::enter_fresh_netns();
  tests::shell(R"(set -e
    ip6tables-legacy -N audit
    ip6tables-legacy -P FORWARD DROP
    ip6tables-legacy -A INPUT -i lo -p tcp -m multiport --dports 22,80 -m comment --comment "web ports" -j ACCEPT
    ip6tables-legacy -A INPUT -s 2001:db8::/32 ! -d ::1 -j audit
    ip6tables-legacy -A OUTPUT -o lo -j audit
    ip6tables-legacy -A audit -p tcp -m comment --comment counted
    ip6tables-legacy -A audit -m mark --mark 0x4/0x4 -j RETURN
    ip6tables-legacy -t mangle -A OUTPUT -m mark ! --mark 0x1 -j MARK --set-xmark 0x2/0x6
    ip6tables-legacy -t mangle -A PREROUTING -p tcp --tcp-flags SYN,ACK SYN -j CONNMARK --set-mark 0x8)");
  tests::shell("bash -c 'exec 3<>/dev/tcp/::1/9' 2>/dev/null", true);
  const std::string before = save6("filter") + save6("mangle");
  ASSERT_NE(before.find("] -A audit -p tcp -m comment --comment counted"), std::string::npos) << before;
  ASSERT_EQ(before.find("[0:0] -A audit -p tcp -m comment --comment counted"), std::string::npos) << before;

  for (const char *name : {"filter", "mangle"}) {
    const ipt::table6_t table = ipt::read_table6(name);
    ipt::write_table6(name, table);
    EXPECT_EQ(ipt::read_table6(name), table) << name;
  }
  EXPECT_EQ(save6("filter") + save6("mangle"), before);
}

TEST(Ip6TablesKernel, BuiltRulesReadAsTheEquivalentCommandLines) {
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
  const std::string written = save6("mangle", false);

  tests::shell(R"(set -e
    ip6tables-legacy -t mangle -F
    ip6tables-legacy -t mangle -A PREROUTING -p tcp -m comment --comment movri-firewall -m mark ! --mark 0x6/0x6 -j TPROXY --on-port 3128 --on-ip ::1 --tproxy-mark 0x1/0x1
    ip6tables-legacy -t mangle -A OUTPUT -p tcp -m comment --comment movri-firewall -m tcp --tcp-flags SYN,ACK SYN -j NFQUEUE --queue-num 7 --queue-bypass)");
  EXPECT_EQ(written, save6("mangle", false));
}
