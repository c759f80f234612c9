// The scripts of the source tree, run as root; each leaves nothing of its own behind.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tests/support/child_process.hpp"
#include "tests/support/netns.hpp"

namespace {

// The output of a bash script of the source tree, which is expected to succeed.
std::string run_script(std::vector<std::string> args, const tests::env_t &env = {}) {
  args.front() = std::string(MOVRI_SOURCE_DIR) + "/" + args.front();
  const auto r = tests::run_program("/bin/bash", args, env, {}, 120);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return r.out;
}
void expect_lines(const std::string &out, std::initializer_list<std::string> lines) {
  for (const auto &line : lines) EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}

// The README's run command: every verdict happens, over IPv4 and IPv6, a checked connection carries
// data through the VettD stand-in, and nothing of the demo is left behind.
TEST(Demo, EveryVerdictAndNothingLeftBehind) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const auto out = run_script({"scripts/demo", "--no-build"});
  for (const std::string net : {"10.77.0.2:", "[fd77::2]:"})
    expect_lines(out, {net + "7001         pass     reply reply:hello-7001", net + "7002         drop     timeout",
                       net + "7003         reject   refused", net + "7004         check    reply reply:hello-7004"});
  expect_lines(out, {"divert: D_OUTPUT, exe_path: ", "0 lines (0 expected)", "exited with status 107 (EC_APP_TERMINATED)"});
  // Namespaces and links the demo creates are named after it; other tests may create their own meanwhile.
  EXPECT_EQ(tests::shell("ip netns list | grep -c mvdemo || true", true), "0\n");
  EXPECT_EQ(tests::shell("ip link show | grep -c mvdemo || true", true), "0\n");
}

// Client, host and server namespaces: forward and input connections, IPv4 and IPv6, with every verdict
// (the IPv6 reset and retransmitted SYN are checked by the receiving kernels), a hook error falling
// back to check, checked connections relayed by the VettD stand-in with their rule set, and the kernel
// state after start, after switching the automatic configuration off, and after SIGTERM.
TEST(ThreeNamespaces, ForwardAndInputVerdictsAndKernelState) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const auto out = run_script({"tests/scripts/three_namespaces.sh"}, {{"MOVRI_BUILD_DIR", MOVRI_TOOLS_DIR}});
  for (const std::string s : {"10.77.0.2", "10.88.0.1", "fd77::2", "fd88::1"}) // 7005: a hook error, so checked
    expect_lines(out, {s + ":7001 reply reply:hi-7001", s + ":7002 timeout", s + ":7003 refused",
                       s + ":7004 reply reply:hi-7004", s + ":7005 reply reply:hi-7005"});
  expect_lines(out, {"divert FORWARD: Session ", "hook failure; falling back to CHECK", "src_address { address: \"fd88::2\"",
                     "dst_address { address: \"10.77.0.2\" port: 7004 }, divert: D_FORWARD]",
                     "dst_address { address: \"10.88.0.1\" port: 7004 }, divert: D_INPUT]",
                     "dst_address { address: \"fd77::2\" port: 7004 }, divert: D_FORWARD]",
                     "dst_address { address: \"fd88::1\" port: 7004 }, divert: D_INPUT]", "daemon exit 107",
                     "state started: rules=8 policy=1 file=1", "state reconfigured: rules=0 policy=0 file=0",
                     "state stopped: rules=0 policy=0 file=0"});
}

} // namespace
