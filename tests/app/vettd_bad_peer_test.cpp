// A VettD that misbehaves: it closes the link at once, writes to it, stops reading so that frames pile
// up, closes with frames pending, or is not there at all. The daemon drops the tie (quietly or with one
// error line), closes the pairs it could not hand over so that their connections end, keeps serving
// other connections, and asks HubD for VettD again with the next pair; an unreachable VettD ends it,
// leaving nothing in the kernel. Connections are real TCP on 127.0.0.1, diverted on their way out.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/tcp.hpp"
#include "tests/support/unix_listener.hpp"
#include "tests/support/vettd_peer.hpp"

namespace {

using fw::util::scoped_fd_t;
using tests::tcp::connect_outcome_t;

constexpr std::uint16_t checked_port = 7001;
constexpr std::uint16_t passed_port = 7002;

const char *const hook = R"(function intercept_hook(ctx)
  if ctx.dst.port == 7002 then return "pass" end
  return "check"
end
)";

struct vettd_bad_peer_t : ::testing::Test {
  tests::e2e_daemon_t daemon;
  std::unique_ptr<tests::unix_listener_t> vettd;
  scoped_fd_t checked_server, passed_server;

  void SetUp() override {
    tests::enter_fresh_netns();
    if (IsSkipped() || HasFatalFailure()) return;
    checked_server = tests::tcp::listen_on(checked_port);
    passed_server = tests::tcp::listen_on(passed_port);
  }

  std::string vettd_path() const { return daemon.path("vettd.sock"); }

  void start(const std::string &extra_config = {}) {
    daemon.start({hook, extra_config, vettd_path(), std::nullopt});
    ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  }

  // The daemon's next link to VettD (it asks for one at start and with the first pair after losing one).
  tests::vettd_peer_t accept_link() {
    scoped_fd_t link = vettd->accept();
    EXPECT_TRUE(link) << "the daemon did not connect to VettD\n" << daemon.output();
    return tests::vettd_peer_t(link.release());
  }

  // A connection the hook checks: the daemon connects to the server itself and accepts the client in
  // the server's place; the test holds both ends.
  struct checked_t {
    scoped_fd_t client, server;
  };
  checked_t checked_connection() {
    checked_t c{tests::tcp::start_connect(checked_port), {}};
    c.server = tests::tcp::server_side(c.client.get(), checked_server.get(), daemon.output());
    return c;
  }

  // A new checked connection makes the daemon ask for VettD again, and reaches it on the new link as one
  // frame whose two descriptors are the connection's ends: the client's bytes come out of the first,
  // and bytes written to the second reach the server.
  void expect_handed_over() {
    checked_t c = checked_connection();
    tests::vettd_peer_t peer = accept_link();
    auto frame = peer.receive([] {});
    ASSERT_TRUE(frame) << daemon.output();
    ASSERT_EQ(frame->fds.size(), 2u) << "no frame with two descriptors";
    tests::tcp::expect_exchange(c.client.get(), frame->fds[0].get());
    tests::tcp::expect_exchange(frame->fds[1].get(), c.server.get());
  }

  // A passed connection goes straight to its server while the daemon is busy with VettD: proof that
  // its event loop still turns.
  void expect_passed() {
    scoped_fd_t client = tests::tcp::start_connect(passed_port);
    scoped_fd_t server_side = tests::tcp::server_side(client.get(), passed_server.get(), daemon.output());
    EXPECT_EQ(tests::tcp::peer_port(server_side.get()), tests::tcp::local_port(client.get()));
    tests::tcp::expect_exchange(client.get(), server_side.get());
  }

  void expect_clean_stop() {
    EXPECT_EQ(daemon.stop(), 107) << daemon.output();
    EXPECT_EQ(daemon.count("Exit with status 107 (EC_APP_TERMINATED)"), 1u);
  }
};

// What VettD does on an idle link, and the one error line it costs (none for a plain close).
struct idle_misbehaviour_t {
  const char *name;
  std::function<void(tests::vettd_peer_t &)> act;
  std::string error; // empty: the tie is dropped quietly
};
void PrintTo(const idle_misbehaviour_t &m, std::ostream *os) { *os << m.name; }

struct vettd_idle_link_t : vettd_bad_peer_t, ::testing::WithParamInterface<idle_misbehaviour_t> {};

// The first link fails or closes before any pair went out; the next checked connection makes the
// daemon ask HubD for VettD again and goes out on the new link.
TEST_P(vettd_idle_link_t, TieIsDroppedAndTheNextPairGetsANewLink) {
  vettd = std::make_unique<tests::unix_listener_t>(vettd_path());
  ASSERT_NO_FATAL_FAILURE(start());
  {
    tests::vettd_peer_t first = accept_link();
    GetParam().act(first);
    if (GetParam().error.empty()) ASSERT_TRUE(daemon.wait_for_line("Debug: VettD tie manager: tie closed")) << daemon.output();
    else EXPECT_EQ(daemon.wait_for_line("Error: VettD tie manager: "), "Error: VettD tie manager: " + GetParam().error) << daemon.output();
  }
  EXPECT_EQ(daemon.count("Error: "), GetParam().error.empty() ? 0u : 1u) << daemon.output();

  expect_handed_over();
  EXPECT_TRUE(daemon.wait_for_count("Debug: VettD tie manager: requesting VettD\n", 2));
  EXPECT_EQ(daemon.count("Debug: VettD tie manager: requesting VettD\n"), 2u) << daemon.output();
  expect_clean_stop();
}

INSTANTIATE_TEST_SUITE_P(
    Vettd, vettd_idle_link_t,
    ::testing::Values(
        idle_misbehaviour_t{"ClosesRightAfterAccepting", [](tests::vettd_peer_t &p) { p.close(); }, ""},
        idle_misbehaviour_t{"WritesOneByte", [](tests::vettd_peer_t &p) { ASSERT_TRUE(tests::tcp::send_text(p.fd(), "x")); },
                            "VettD tie: : Protocol violation"}),
    [](const auto &info) { return std::string(info.param.name); });

// Frames pile up in a socket nobody reads: the daemon waits for it to become writable instead of
// blocking, and passes other connections meanwhile. When VettD lets go with frames still queued, the
// tie fails with one error line, every pair not handed over is closed (their clients see the end),
// and the next checked connection goes out on a new link.
TEST_F(vettd_bad_peer_t, PairsPileUpWithoutStallingTheDaemonAndEndWithTheTie) {
  vettd = std::make_unique<tests::unix_listener_t>(vettd_path());
  // Every frame carries a copy of the configured rule set; a large one fills the socket in a few frames.
  ASSERT_NO_FATAL_FAILURE(start("rules { variable { exe_path: \"" + std::string(150000, 'x') + "\" } }\n"));
  auto stalled = std::make_unique<tests::vettd_peer_t>(accept_link());

  std::vector<checked_t> pairs;
  for (int i = 0; i < 4; ++i) pairs.push_back(checked_connection());
  ASSERT_TRUE(daemon.wait_for_line("Debug: VettD tie: sending would block")) << daemon.output();
  // One more pair queues behind the blocked frame.
  pairs.push_back(checked_connection());
  ASSERT_TRUE(daemon.wait_for_count("Debug: VettD tie: queued sending of COMPLEMENTARY_CONNECTIONS", pairs.size()))
      << daemon.output();
  ASSERT_NO_FATAL_FAILURE(expect_passed());
  EXPECT_EQ(daemon.count("Error: "), 0u) << daemon.output();

  // VettD lets go by shutting its sending side down.
  ASSERT_EQ(::shutdown(stalled->fd(), SHUT_WR), 0);
  EXPECT_EQ(daemon.wait_for_line("Error: VettD tie manager: "), "Error: VettD tie manager: VettD tie: : Unexpected EOF")
      << daemon.output();
  EXPECT_EQ(daemon.count("Error: "), 1u) << daemon.output();
  stalled.reset(); // what VettD never read goes with its socket

  for (auto &pair : pairs) {
    EXPECT_TRUE(tests::tcp::ends(pair.client.get())) << "a client was left hanging";
    EXPECT_TRUE(tests::tcp::ends(pair.server.get())) << "a server was left hanging";
  }
  expect_handed_over();
  expect_clean_stop();
}

// Where the daemon cannot reach VettD at all.
struct unreachable_t {
  const char *name;
  bool busy; // VettD accepts nothing and its queue is full; else there is no socket file
  int status;
  std::string reason;
};
void PrintTo(const unreachable_t &m, std::ostream *os) { *os << m.name; }

struct vettd_unreachable_t : vettd_bad_peer_t, ::testing::WithParamInterface<unreachable_t> {};

// Failing to connect to VettD ends the daemon with the status of the connect error; it stops as it
// does on SIGTERM, so none of its rules, routing rules or state is left behind.
TEST_P(vettd_unreachable_t, EndsTheDaemonAndLeavesNothingBehind) {
  const unreachable_t &u = GetParam();
  scoped_fd_t filler;
  if (u.busy) {
    vettd = std::make_unique<tests::unix_listener_t>(vettd_path(), 0);
    ASSERT_TRUE(filler = tests::unix_listener_t::connect_to(vettd_path()));
  }
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_EQ(daemon.hubd().wait(), u.status) << daemon.output();
  const std::string log = daemon.output();
  EXPECT_EQ(daemon.count("Error: cannot connect to " + vettd_path() + ": " + u.reason + "\n"), 1u) << log;
  EXPECT_EQ(daemon.count("Exit with status " + std::to_string(u.status) + " ("), 1u) << log;
  // It had installed them before.
  EXPECT_EQ(daemon.count("Debug: Iptables rules installed\n"), 1u) << log;
  EXPECT_EQ(daemon.count("Debug: Local delivery routing policy installed"), 1u) << log;
  daemon.expect_nothing_left();
}

INSTANTIATE_TEST_SUITE_P(
    Vettd, vettd_unreachable_t,
    ::testing::Values(unreachable_t{"NoSocketFile", false, 23, "No such file or directory"},
                      unreachable_t{"AcceptQueueFull", true, 125, "Resource temporarily unavailable"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
