#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/tcp.hpp"

namespace {

long rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// More new connections than the queue keeps pending, all waiting on a slow hook: the daemon stays up,
// its memory stays bounded, the queue-limit line is not written once per packet, and a connection
// afterwards still gets its verdict. Logged at Info: per-packet debug lines are not what is measured.
TEST(Flood, SynBurstBeyondTheQueueLimit) {
  tests::enter_fresh_netns();
  tests::e2e_daemon_t daemon;
  daemon.start({.hook = "local movri = require 'movri'\nfunction intercept_hook(ctx)\n"
                        "if ctx.dst.port ~= 7001 then movri.sleep(60) end return 'pass' end\n",
                .vettd = daemon.start_vettd_lite(),
                .log_level = "LOG_LEVEL_INFO"});
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  const pid_t pid = daemon.daemon_pid();

  // A server for the connection made after the flood.
  fw::util::scoped_fd_t server = tests::tcp::listen_on(7001);

  const long rss_before = rss_kib(pid);
  std::vector<fw::util::scoped_fd_t> flood;
  for (int i = 0; i < 1500; ++i) flood.push_back(tests::tcp::start_connect(static_cast<std::uint16_t>(20000 + i % 50)));
  ASSERT_TRUE(daemon.wait_for_output("queue limit reached; dropping the oldest packet")) << daemon.output();
  ::usleep(500000);

  const auto outcome = tests::tcp::finish_connect(tests::tcp::start_connect(7001).get());
  EXPECT_EQ(outcome, tests::tcp::connect_outcome_t::established) << tests::tcp::to_string(outcome) << "\n"
                                                                 << daemon.output();

  EXPECT_EQ(::kill(pid, 0), 0) << "the daemon died";
  const long rss_after = rss_kib(pid);
  EXPECT_LT(rss_after, rss_before + 64 * 1024) << rss_before << " -> " << rss_after;
  EXPECT_LE(daemon.count("queue limit reached; dropping the oldest packet"), 5u) << "one line per packet";

  flood.clear();
  server.reset();
  EXPECT_EQ(daemon.stop(), 107) << daemon.output().substr(0, 4000);
}

} // namespace
