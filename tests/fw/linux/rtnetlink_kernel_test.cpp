// Routing rules and routes through the blocking socket against the kernel, cross-checked with ip(8).

#include <arpa/inet.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include <tuple>

#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/rtnetlink/routing/requests.hpp"
#include "tests/support/netns.hpp"

namespace routing = fw::linux::rtnetlink::routing;
namespace netlink = fw::linux::netlink;

namespace {

routing::message_t fwmark_rule(std::uint32_t priority) {
  routing::message_t rule;
  rule.header().family = AF_INET;
  rule.header().type = FR_ACT_TO_TBL; // the action of a rule
  rule.attributes().add_u32(FRA_PRIORITY, priority);
  rule.attributes().add_u32(FRA_FWMARK, 0x100);
  rule.attributes().add_u32(FRA_FWMASK, 0x100);
  rule.attributes().add_u32(FRA_TABLE, 100);
  return rule;
}

routing::message_t local_default_route() {
  routing::message_t route;
  route.header().family = AF_INET;
  route.header().table = RT_TABLE_UNSPEC;
  route.header().protocol = RTPROT_STATIC;
  route.header().scope = RT_SCOPE_HOST;
  route.header().type = RTN_LOCAL;
  route.attributes().add_u32(RTA_TABLE, 100);
  route.attributes().add_u32(RTA_OIF, if_nametoindex("lo"));
  return route;
}

const auto flags = static_cast<std::uint16_t>(netlink::f_create | netlink::f_excl);

int errno_of(const std::function<void()> &f) {
  try {
    f();
  } catch (const boost::system::system_error &e) {
    return e.code().value();
  }
  return 0;
}

} // namespace

TEST(RtnetlinkKernel, RuleAddDumpDelete) {
  tests::enter_fresh_netns();
  routing::execute(routing::rtm_newrule, fwmark_rule(1000), flags);
  EXPECT_NE(tests::shell("ip rule show").find("1000:\tfrom all fwmark 0x100/0x100 lookup 100"), std::string::npos);

  // A duplicate is refused with the kernel's errno.
  EXPECT_EQ(errno_of([&] { routing::execute(routing::rtm_newrule, fwmark_rule(1000), flags); }), EEXIST);

  // Default rules (local, main, default) come too: the dump spans several messages.
  const auto rules = routing::dump(routing::rtm_getrule, AF_INET);
  EXPECT_GE(rules.size(), 4u);
  int found = 0;
  for (const auto &rule : rules)
    if (rule.attributes().find_u32(FRA_PRIORITY) == 1000u) {
      ++found;
      EXPECT_EQ(std::make_tuple(rule.attributes().get_u32(FRA_FWMARK), rule.attributes().get_u32(FRA_FWMASK),
                                rule.attributes().get_u32(FRA_TABLE), unsigned{rule.header().type}),
                std::make_tuple(0x100u, 0x100u, 100u, unsigned{FR_ACT_TO_TBL}));
    }
  EXPECT_EQ(found, 1);

  routing::execute(routing::rtm_delrule, fwmark_rule(1000));
  EXPECT_EQ(tests::shell("ip rule show").find("fwmark 0x100"), std::string::npos);
  EXPECT_EQ(errno_of([&] { routing::execute(routing::rtm_delrule, fwmark_rule(1000)); }), ENOENT);
}

TEST(RtnetlinkKernel, RouteAddDumpDeleteOnOneSocket) {
  tests::enter_fresh_netns();
  auto socket = netlink::socket_t::open(netlink::protocol_route);
  routing::execute(socket, routing::rtm_newroute, local_default_route(), flags);
  EXPECT_EQ(tests::shell("ip route show table 100"), "local default dev lo proto static scope host \n");
  EXPECT_EQ(errno_of([&] { routing::execute(socket, routing::rtm_newroute, local_default_route(), flags); }), EEXIST);

  routing::message_t request;
  request.header().family = AF_INET;
  int found = 0;
  for (const auto &route : routing::dump(socket, routing::rtm_getroute, request)) {
    if (route.attributes().find_u32(RTA_TABLE) != 100u) continue;
    ++found;
    EXPECT_EQ(std::make_tuple(unsigned{route.header().type}, unsigned{route.header().dst_len}, route.attributes().get_u32(RTA_OIF)),
              std::make_tuple(unsigned{RTN_LOCAL}, 0u, if_nametoindex("lo")));
    EXPECT_FALSE(route.attributes().contains(RTA_DST));
  }
  EXPECT_EQ(found, 1);

  routing::execute(socket, routing::rtm_delroute, local_default_route());
  EXPECT_EQ(tests::shell("ip route show table 100"), "");
  EXPECT_EQ(errno_of([&] { routing::execute(socket, routing::rtm_delroute, local_default_route()); }), ESRCH);
}
