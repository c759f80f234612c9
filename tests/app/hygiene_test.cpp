// What the daemon leaves to others: programs it starts inherit none of its descriptors, HubD going away
// together with the log pipe ends it with its status and without a trace in the kernel, and a start
// without autoconfiguration still removes what a killed run left.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <boost/filesystem/operations.hpp>

#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"

namespace {

namespace fs = boost::filesystem;

std::string file_text(const std::string &path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// The descriptors of a process above 2 that would survive an exec.
std::string inheritable_descriptors(pid_t pid) {
  std::string found;
  const std::string dir = "/proc/" + std::to_string(pid);
  for (const auto &entry : fs::directory_iterator(dir + "/fd")) {
    const std::string fd = entry.path().filename().string();
    if (std::stoi(fd) <= 2) continue;
    const std::string info = file_text(dir + "/fdinfo/" + fd); // "flags:\t02004002" (octal)
    const auto at = info.find("flags:");
    if (at == std::string::npos || !(std::stoul(info.substr(at + 6), nullptr, 8) & O_CLOEXEC))
      found += fd + " -> " + fs::read_symlink(entry.path()).string() + "\n";
  }
  return found;
}

// Waits for an orphan that this process adopted as subreaper; its status, or -1 after the timeout.
int wait_adopted(pid_t pid) {
  for (int i = 0; i < 3000; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

TEST(hygiene_e2e_t, HookProgramsInheritNothingAndHubDGoneWithTheLogPipeEndsTheDaemonCleanly) {
  tests::enter_fresh_netns();
  tests::e2e_daemon_t daemon;
  const std::string listing = daemon.path("descriptors");
  // The hook file runs at every start; at the second one every service is open.
  daemon.start({.hook = "os.execute('ls /proc/self/fd > " + listing + "')\n"
                        "function intercept_hook(ctx) return 'pass' end\n",
                .vettd = daemon.start_vettd_lite(),
                .log = "{ type: FILE path: \"" + daemon.path("daemon.log") + "\" }"});
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  const pid_t pid = daemon.daemon_pid();
  daemon.hubd().signal(SIGHUP);
  ASSERT_TRUE(daemon.wait_for_count("Ready for service", 2)) << daemon.output();
  EXPECT_EQ(file_text(listing), "0\n1\n2\n3\n"); // ls's own directory is 3
  EXPECT_EQ(inheritable_descriptors(pid), "");

  // HubD dies: its channel and the read end of the log pipe go at once. The line about the channel
  // meets a broken pipe.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  daemon.hubd().signal(SIGKILL);
  daemon.hubd().wait();
  EXPECT_EQ(wait_adopted(pid), 125) << file_text(daemon.path("daemon.log"));
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_NE(file_text(daemon.path("daemon.log")).find("Error: HubD: read failed: End of file"), std::string::npos);
  const auto left = daemon.kernel_state();
  EXPECT_EQ(left.iptables_rules, 0) << tests::shell("iptables-legacy-save");
  EXPECT_EQ(left.routing_rules, 0) << tests::shell("ip rule");
  EXPECT_FALSE(left.state_file);
}

TEST(hygiene_e2e_t, LeftoversOfAKilledRunGoAtAStartWithoutAutoconfiguration) {
  tests::enter_fresh_netns();
  tests::e2e_daemon_t daemon;
  tests::e2e_daemon_t::options_t options{.hook = "function intercept_hook(ctx) return 'pass' end\n",
                                         .vettd = daemon.start_vettd_lite()};
  daemon.start(options);
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  const auto installed = daemon.kernel_state();
  ASSERT_GT(installed.iptables_rules, 0);
  ASSERT_EQ(installed.routing_rules, 1);
  ASSERT_EQ(::kill(daemon.daemon_pid(), SIGKILL), 0);
  daemon.hubd().wait();

  options.autoconfigure = false;
  daemon.start(options);
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  const auto left = daemon.kernel_state();
  EXPECT_EQ(left.iptables_rules, 0) << tests::shell("iptables-legacy-save");
  EXPECT_EQ(left.routing_rules, 0) << tests::shell("ip rule");
  EXPECT_FALSE(left.state_file);
  EXPECT_EQ(tests::shell("ip route show table all | grep -c 'table 1[0-9][0-9]' || true", true), "0\n");
  EXPECT_EQ(daemon.stop(), 107) << daemon.output();
}

} // namespace
