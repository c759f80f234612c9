#include <gtest/gtest.h>

#include <string>

#include "tests/support/netns.hpp"
#include "tests/support/process.hpp"

namespace {

// Namespaces the demo creates are named after it; other tests may create their own meanwhile.
int demo_namespaces() { return std::stoi(tests::shell("ip netns list | grep -c mvdemo || true", true)); }

// The README's run command: every verdict happens, over IPv4 and IPv6, a checked connection carries data through the VettD
// stand-in, and nothing of the demo is left behind.
TEST(Demo, EveryVerdictAndNothingLeftBehind) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const auto r = tests::run_program("/bin/bash", {std::string(MOVRI_SOURCE_DIR) + "/scripts/demo", "--no-build"}, {}, {}, 120);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const char *net : {"10.77.0.2:", "[fd77::2]:"})
    for (const char *row : {"7001         pass     reply reply:hello-7001", "7002         drop     timeout",
                            "7003         reject   refused", "7004         check    reply reply:hello-7004"})
      EXPECT_NE(r.out.find(net + std::string(row)), std::string::npos) << r.out;
  for (const char *line : {"divert: D_OUTPUT, exe_path: ", "0 lines (0 expected)", "exited with status 107 (EC_APP_TERMINATED)"})
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
  EXPECT_EQ(demo_namespaces(), 0);
  EXPECT_EQ(tests::shell("ip link show | grep -c mvdemo || true", true), "0\n");
}

} // namespace
