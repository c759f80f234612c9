#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fw/util/scoped_fd.hpp"
#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/tcp.hpp"

namespace {

using fw::util::scoped_fd_t;

constexpr std::uint16_t fast_port = 7001;
constexpr std::uint16_t slow_port = 7002;
constexpr int others = 127;

// A listener the echo loop drains without blocking, with room for every connection at once.
scoped_fd_t echo_listener(std::uint16_t port) {
  scoped_fd_t fd = tests::tcp::listen_on(port, 512);
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
  return fd;
}

// One client connection: non-blocking connect, one byte out, the same byte back.
struct client_t {
  scoped_fd_t fd;
  bool connected = false;
  bool done = false;
  std::string failure;

  explicit client_t(std::uint16_t port) : fd(tests::tcp::start_connect(port)) {}
  bool finished() const { return done || !failure.empty(); }
  short events() const { return connected ? POLLIN : POLLOUT; }
  void advance(short revents) {
    if (!connected) {
      int error = 0;
      socklen_t length = sizeof error;
      ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) {
        failure = std::string("connect: ") + std::strerror(error);
        return;
      }
      if (!(revents & POLLOUT)) return;
      connected = true;
      if (::send(fd.get(), "x", 1, MSG_NOSIGNAL) != 1) failure = std::string("send: ") + std::strerror(errno);
      return;
    }
    char byte = 0;
    const ssize_t n = ::recv(fd.get(), &byte, 1, 0);
    if (n == 1 && byte == 'x') done = true;
    else if (n == 0 || (n < 0 && errno != EAGAIN)) failure = "no reply";
  }
  // The kernel's state of the socket (TCP_SYN_SENT while the SYN waits for its verdict).
  int tcp_state() const {
    tcp_info info{};
    socklen_t length = sizeof info;
    ::getsockopt(fd.get(), IPPROTO_TCP, TCP_INFO, &info, &length);
    return info.tcpi_state;
  }
};

// The servers' side: accepts, reads one byte, writes it back and closes.
struct echo_t {
  std::vector<int> listeners;
  std::vector<scoped_fd_t> accepted;
  std::vector<bool> answered;
};

// Runs the clients and the echo servers until every client finished or the bound passed. False when
// the bound passed (a guard against a hang, not a measurement).
bool exchange(std::vector<client_t *> clients, echo_t &echo, int bound_seconds = 20) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(bound_seconds);
  for (;;) {
    if (std::all_of(clients.begin(), clients.end(), [](client_t *c) { return c->finished(); })) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::vector<pollfd> fds;
    std::vector<std::function<void(short)>> actions;
    for (client_t *c : clients) {
      if (c->finished()) continue;
      fds.push_back({c->fd.get(), c->events(), 0});
      actions.push_back([c](short revents) { c->advance(revents); });
    }
    for (int listener : echo.listeners) {
      fds.push_back({listener, POLLIN, 0});
      actions.push_back([&echo, listener](short) {
        for (;;) {
          const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (fd < 0) return;
          echo.accepted.emplace_back(fd);
          echo.answered.push_back(false);
        }
      });
    }
    for (std::size_t i = 0; i < echo.accepted.size(); ++i) {
      if (echo.answered[i]) continue;
      fds.push_back({echo.accepted[i].get(), POLLIN, 0});
      actions.push_back([&echo, i](short) {
        char byte;
        if (::recv(echo.accepted[i].get(), &byte, 1, 0) == 1) ::send(echo.accepted[i].get(), &byte, 1, MSG_NOSIGNAL);
        echo.answered[i] = true;
        echo.accepted[i].reset();
      });
    }
    if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i)
      if (fds[i].revents) actions[i](fds[i].revents);
  }
}

// The daemon's session lines, in log order.
struct session_line_t {
  std::string id;
  bool started = false; // else the verdict line
  std::string text;     // "SRC -> DST" of a start, the verdict and the context of a verdict
};

std::vector<session_line_t> session_lines(const std::string &output) {
  static const std::regex started(R"(Session (\S+): started (.*))");
  static const std::regex verdict(R"(Session (\S+): (PASS .*))");
  std::vector<session_line_t> lines;
  std::istringstream in(output);
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_search(line, m, started)) lines.push_back({m[1], true, m[2]});
    else if (std::regex_search(line, m, verdict)) lines.push_back({m[1], false, m[2]});
  }
  return lines;
}

bool ends_with(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int count_started(const std::string &output) {
  int n = 0;
  for (const auto &l : session_lines(output)) n += l.started;
  return n;
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
  daemon.start({.hook = "local movri = require 'movri'\n"
                        "local function released(path)\n"
                        "  local f = io.open(path) if f then f:close() return true end\n"
                        "end\n"
                        "function intercept_hook(ctx)\n"
                        "  if ctx.dst.port == " + std::to_string(slow_port) + " then\n"
                        "    movri.sleep(1)\n"
                        "    while not released('" + slow_go + "') do movri.sleep(0.02) end\n"
                        "  else\n"
                        "    local pid = ctx.pid\n"
                        "    while not released('" + others_go + "') do movri.sleep(0.02) end\n"
                        "  end\n"
                        "  return 'pass'\n"
                        "end\n",
                .vettd = daemon.start_vettd_lite(),
                .log_level = "LOG_LEVEL_INFO"});
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();

  echo_t fast_echo, slow_echo;
  const auto fast_listener = echo_listener(fast_port);
  const auto slow_listener = echo_listener(slow_port);
  fast_echo.listeners = {fast_listener.get()};
  slow_echo.listeners = {slow_listener.get()};

  // The slow connection first, so that its session opens before all others.
  client_t slow(slow_port);
  ASSERT_FALSE(HasFailure()) << "connect failed";
  ASSERT_TRUE(daemon.wait_for_output("-> 127.0.0.1:" + std::to_string(slow_port))) << daemon.output();
  std::vector<std::unique_ptr<client_t>> clients;
  std::vector<client_t *> fast;
  for (int i = 0; i < others; ++i) {
    clients.push_back(std::make_unique<client_t>(fast_port));
    ASSERT_FALSE(HasFailure()) << "connect failed";
    fast.push_back(clients.back().get());
  }

  // All 128 sessions are open at once, none has a verdict yet.
  for (int i = 0; i < 2000 && count_started(daemon.output()) < others + 1; ++i) ::usleep(10000);
  {
    const auto lines = session_lines(daemon.output());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto &l) { return l.started; }), others + 1)
        << daemon.output();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const auto &l) { return !l.started; }), 0)
        << daemon.output();
  }

  // The others go; the slow one stays.
  std::ofstream(others_go).close();
  ASSERT_TRUE(exchange(fast, fast_echo)) << daemon.output();
  for (const client_t *c : fast) EXPECT_TRUE(c->done) << c->failure;
  EXPECT_EQ(fast_echo.accepted.size(), static_cast<std::size_t>(others));
  // The slow connection still waits for its verdict: its SYN is held, its server has seen nothing.
  EXPECT_EQ(slow.tcp_state(), TCP_SYN_SENT);
  pollfd slow_poll[] = {{slow.fd.get(), POLLOUT, 0}, {slow_listener.get(), POLLIN, 0}};
  EXPECT_EQ(::poll(slow_poll, 2, 0), 0) << "the slow connection went on before its verdict";
  EXPECT_EQ(daemon.output().find("PASS dst=127.0.0.1:" + std::to_string(slow_port)), std::string::npos);

  // The slow one goes.
  std::ofstream(slow_go).close();
  ASSERT_TRUE(exchange({&slow}, slow_echo)) << daemon.output();
  EXPECT_TRUE(slow.done) << slow.failure;
  ASSERT_TRUE(daemon.wait_for_output("PASS dst=127.0.0.1:" + std::to_string(slow_port))) << daemon.output();

  // In the log the slow session's lines bracket all the others; every other verdict names the test
  // itself as the originator, found while 127 look-ups were in flight.
  const auto lines = session_lines(daemon.output());
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.front().started && ends_with(lines.front().text, ":" + std::to_string(slow_port)))
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
