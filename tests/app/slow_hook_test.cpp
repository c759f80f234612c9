#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/tcp.hpp"

namespace {

using fw::util::scoped_fd_t;
using tests::tcp::connect_outcome_t;

constexpr std::uint16_t fast_port = 7001;
constexpr std::uint16_t slow_port = 7002;
constexpr int others = 127;

// The daemon's session lines in log order: id, whether it is the start (else the verdict), and the text
// ("SRC -> DST" of a start, the verdict and its context).
struct session_line_t {
  std::string id;
  bool started;
  std::string text;
};
std::vector<session_line_t> session_lines(const std::string &output) {
  static const std::regex line_re(R"(Session (\S+): (started (.*)|PASS .*))");
  std::vector<session_line_t> lines;
  std::istringstream in(output);
  std::smatch m;
  for (std::string line; std::getline(in, line);)
    if (std::regex_search(line, m, line_re)) lines.push_back({m[1], m[3].matched, m[3].matched ? m[3] : m[2]});
  return lines;
}
long count_started(const std::vector<session_line_t> &lines) {
  return std::count_if(lines.begin(), lines.end(), [](const auto &l) { return l.started; });
}

// 128 connections in flight. Every hook suspends (the others after looking up their originator, until
// the test lets them go; the slow one in movri.sleep(1), then until the test lets it go), so the order
// of events is fixed by the test, never by a clock: all 128 sessions are open at the same time; the 127
// others get their verdicts and finish their exchange while the slow one still waits for its verdict,
// its SYN held in the queue; the slow one finishes afterwards.
TEST(SlowHook, OneSlowVerdictDoesNotHoldUpTheOthers) {
  tests::enter_fresh_netns();
  tests::e2e_daemon_t daemon;
  const auto others_go = daemon.path("others-go");
  const auto slow_go = daemon.path("slow-go");
  // Logged at Info, where the only line naming the slow destination before its verdict is its session's start.
  daemon.start({.hook = R"(local movri = require 'movri'
local function wait_for(path) while not io.open(path) do movri.sleep(0.02) end end
function intercept_hook(ctx)
  if ctx.dst.port == 7002 then movri.sleep(1) wait_for(')" + slow_go + R"(')
  else local pid = ctx.pid wait_for(')" + others_go + R"(') end
  return 'pass'
end
)",
                .vettd = daemon.start_vettd_lite(),
                .log_level = "LOG_LEVEL_INFO"});
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  const auto fast_listener = tests::tcp::listen_on(fast_port, 512);
  const auto slow_listener = tests::tcp::listen_on(slow_port);

  // The slow connection first, so that its session opens before all others.
  const scoped_fd_t slow = tests::tcp::start_connect(slow_port);
  ASSERT_TRUE(daemon.wait_for_output("-> 127.0.0.1:" + std::to_string(slow_port))) << daemon.output();
  std::vector<scoped_fd_t> fast;
  for (int i = 0; i < others; ++i) fast.push_back(tests::tcp::start_connect(fast_port));

  // All 128 sessions are open at once, none has a verdict yet.
  for (int i = 0; i < 2000 && count_started(session_lines(daemon.output())) < others + 1; ++i) ::usleep(10000);
  EXPECT_EQ(count_started(session_lines(daemon.output())), others + 1) << daemon.output();
  EXPECT_EQ(session_lines(daemon.output()).size(), others + 1u) << daemon.output();

  // The others go; the slow one stays.
  std::ofstream(others_go).close();
  std::map<std::uint16_t, scoped_fd_t> server_sides; // by the client's port: they arrive in any order
  for (const auto &client : fast) {
    scoped_fd_t server_side = tests::tcp::server_side(client.get(), fast_listener.get());
    server_sides[tests::tcp::peer_port(server_side.get())] = std::move(server_side);
  }
  for (const auto &client : fast)
    tests::tcp::expect_exchange(client.get(), server_sides[tests::tcp::local_port(client.get())].get());
  // The slow connection still waits for its verdict: its SYN is held, its server has seen nothing.
  EXPECT_EQ(tests::tcp::finish_connect(slow.get(), 0), connect_outcome_t::timed_out);
  EXPECT_FALSE(tests::tcp::accept_from(slow_listener.get(), 0)) << "the slow connection went on before its verdict";
  EXPECT_EQ(daemon.output().find("PASS dst=127.0.0.1:" + std::to_string(slow_port)), std::string::npos);

  // The slow one goes.
  std::ofstream(slow_go).close();
  tests::tcp::expect_exchange(slow.get(), tests::tcp::server_side(slow.get(), slow_listener.get(), daemon.output()).get());
  ASSERT_TRUE(daemon.wait_for_output("PASS dst=127.0.0.1:" + std::to_string(slow_port))) << daemon.output();

  // In the log the slow session's lines bracket all the others; every other verdict names the test
  // itself as the originator, found while 127 look-ups were in flight.
  const auto lines = session_lines(daemon.output());
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.front().started && lines.front().text.ends_with(":" + std::to_string(slow_port)))
      << lines.front().text;
  EXPECT_TRUE(!lines.back().started && lines.back().id == lines.front().id) << lines.back().text;
  const std::regex own_pid("(^| )pid=" + std::to_string(::getpid()) + "( |$)");
  int fast_verdicts = 0;
  std::map<std::string, int> balance;
  for (const auto &l : lines) {
    balance[l.id] += l.started ? 1 : -1;
    if (l.started || l.id == lines.front().id) continue;
    ++fast_verdicts;
    EXPECT_NE(l.text.find("dst=127.0.0.1:" + std::to_string(fast_port)), std::string::npos) << l.text;
    EXPECT_TRUE(std::regex_search(l.text, own_pid)) << l.text;
  }
  EXPECT_EQ(fast_verdicts, others);
  for (const auto &[id, open] : balance) EXPECT_EQ(open, 0) << "session " << id;
  EXPECT_EQ(daemon.stop(), 107) << daemon.output().substr(0, 4000);
}

} // namespace
