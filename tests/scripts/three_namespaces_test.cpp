#include <gtest/gtest.h>

#include <string>

#include "tests/support/process.hpp"

namespace {

// Client, host and server namespaces: forward and input connections, IPv4 and IPv6, with every verdict
// (the IPv6 reset and retransmitted SYN are checked by the receiving kernels), a hook error
// falling back to check, checked connections relayed by the VettD stand-in with their rule set, and the
// kernel state after start, after switching the automatic configuration off, and after SIGTERM.
TEST(ThreeNamespaces, ForwardAndInputVerdictsAndKernelState) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const auto r = tests::run_program("/bin/bash", {std::string(MOVRI_SOURCE_DIR) + "/tests/scripts/three_namespaces.sh"},
                                    {{"MOVRI_BUILD_DIR", std::string(MOVRI_TOOLS_DIR)}}, {}, 120);
  const auto &out = r.out;
  for (const char *server : {"10.77.0.2", "10.88.0.1", "fd77::2", "fd88::1"}) {
    const std::string s = server;
    EXPECT_NE(out.find(s + ":7001 reply reply:hi-7001"), std::string::npos) << out;
    EXPECT_NE(out.find(s + ":7002 timeout"), std::string::npos) << out;
    EXPECT_NE(out.find(s + ":7003 refused"), std::string::npos) << out;
    EXPECT_NE(out.find(s + ":7004 reply reply:hi-7004"), std::string::npos) << out;
    EXPECT_NE(out.find(s + ":7005 reply reply:hi-7005"), std::string::npos) << out; // hook error: check
  }
  for (const char *line : {"divert FORWARD: Session ", "hook failure; falling back to CHECK", "src_address { address: \"fd88::2\"",
                           "dst_address { address: \"10.77.0.2\" port: 7004 }, divert: D_FORWARD]",
                           "dst_address { address: \"10.88.0.1\" port: 7004 }, divert: D_INPUT]",
                           "dst_address { address: \"fd77::2\" port: 7004 }, divert: D_FORWARD]",
                           "dst_address { address: \"fd88::1\" port: 7004 }, divert: D_INPUT]", "daemon exit 107",
                           "state started: rules=8 policy=1 file=1", "state reconfigured: rules=0 policy=0 file=0",
                           "state stopped: rules=0 policy=0 file=0"})
    EXPECT_NE(out.find(line), std::string::npos) << out;
}

} // namespace
