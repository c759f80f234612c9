// A QueryD that misbehaves (garbage, frames cut short, absurd lengths, no answer, no way in): the hook's
// lookup fails, the connection falls back to being checked, and the next lookup gets a new link while
// other connections get their verdicts. Connections are real TCP on 127.0.0.1, diverted on their way
// out; checked ones are relayed by the VettD stand-in.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/queryd_peer.hpp"
#include "tests/support/tcp.hpp"
#include "tests/support/unix_listener.hpp"
#include "tests/support/vettd_peer.hpp"

namespace {
using fw::util::scoped_fd_t;
using tests::tcp::connect_outcome_t;

// A listener that accepts nothing, with its queue of connections full; the connection that fills it.
scoped_fd_t fill_accept_queue(std::unique_ptr<tests::unix_listener_t> &listener, const std::string &path) {
  listener = std::make_unique<tests::unix_listener_t>(path, 0);
  return tests::unix_listener_t::connect_to(path);
}

constexpr std::uint16_t lookup_port = 7001; // the hook's verdict is what the lookup yields
constexpr std::uint16_t passed_port = 7002; // passed without a lookup
constexpr std::uint16_t check_port = 7003;  // rejected when the check says so, else passed

const char *const hook = R"(local lookup = require "movri.lookup"
function intercept_hook(ctx)
  local port = ctx.dst.port
  if port == 7002 then return "pass" end
  if port == 7003 then
    return lookup.check(string.format("%d", port), "cidr@ports") and "reject" or "pass"
  end
  return lookup.lookup("regex@verdicts", { user = "tester", colour = "blue" })[1]
end
)";

// The daemon stops on SIGTERM with its status and one line.
void expect_clean_stop(tests::e2e_daemon_t &daemon) {
  EXPECT_EQ(daemon.stop(), 107) << daemon.output();
  EXPECT_EQ(daemon.count("Exit with status 107 (EC_APP_TERMINATED)"), 1u);
}

// A daemon in a fresh namespace, and servers on the three ports.
struct bad_peer_t : ::testing::Test {
  tests::e2e_daemon_t daemon;
  scoped_fd_t servers[3];
  void SetUp() override {
    tests::enter_fresh_netns();
    if (IsSkipped() || HasFatalFailure()) return;
    for (std::uint16_t port : {lookup_port, passed_port, check_port}) servers[port - lookup_port] = tests::tcp::listen_on(port);
  }
  scoped_fd_t server_side(const scoped_fd_t &client, std::uint16_t port) {
    return tests::tcp::server_side(client.get(), servers[port - lookup_port].get(), daemon.output());
  }
  // A passed connection: the server sees the client itself, and they talk (proof that the daemon's
  // event loop still turns).
  void expect_passed() {
    scoped_fd_t client = tests::tcp::start_connect(passed_port);
    scoped_fd_t server = server_side(client, passed_port);
    EXPECT_EQ(tests::tcp::peer_port(server.get()), tests::tcp::local_port(client.get()));
    tests::tcp::expect_exchange(client.get(), server.get());
  }
};

struct queryd_bad_peer_t : bad_peer_t {
  std::unique_ptr<tests::unix_listener_t> queryd;
  std::string queryd_path() const { return daemon.path("queryd.sock"); }
  void start() {
    daemon.start({hook, {}, daemon.start_vettd_lite(), queryd_path()});
    ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  }
  tests::queryd_peer_t accept_link() {
    scoped_fd_t link = queryd->accept();
    EXPECT_TRUE(link) << "the daemon did not connect to QueryD\n" << daemon.output();
    return tests::queryd_peer_t(std::move(link));
  }
  // The request's serial once it is what the hook asked for (only the "user" parameter goes along with a lookup).
  static std::uint32_t serial_of(const std::optional<lp::ClientMessage> &request, bool lookup = true) {
    EXPECT_TRUE(request);
    if (!request) return 0;
    lp::ClientMessage rest = *request;
    rest.clear_serial();
    EXPECT_EQ(rest.ShortDebugString(), lookup ? R"(tag: LOOKUP_REQUEST lookup_type: LOOKUP_REGEX lookup_tag: "verdicts" user: "tester")"
                                              : R"(tag: CHECK_REQUEST lookup_type: LOOKUP_CIDR lookup_tag: "ports" check: "7003")");
    return request->serial();
  }
  // The hook could not decide: the connection was checked, so the server sees the daemon's own
  // connection (not the client's) and the VettD stand-in relays the client's bytes to it.
  void expect_checked(scoped_fd_t client) {
    scoped_fd_t server = server_side(client, lookup_port);
    EXPECT_NE(tests::tcp::peer_port(server.get()), tests::tcp::local_port(client.get()));
    tests::tcp::expect_exchange(client.get(), server.get());
  }
  void expect_refused(scoped_fd_t client) {
    const auto outcome = tests::tcp::finish_connect(client.get());
    EXPECT_EQ(outcome, connect_outcome_t::refused) << tests::tcp::to_string(outcome) << "\n" << daemon.output();
  }
  // The hook's failure as logged by its session and by the diverter, which falls back to check.
  void expect_failure_logged(const std::string &error, std::size_t times = 1) {
    const std::string fallback = ": cannot get verdict for intercepted connection: " + error + "; falling back to CHECK\n";
    EXPECT_TRUE(daemon.wait_for_count(fallback, times)) << daemon.output();
    EXPECT_EQ(daemon.count(fallback), times) << daemon.output();
    EXPECT_GE(daemon.count(": " + error + ": "), times) << "the session's line\n" << daemon.output();
  }
  // A good QueryD on a new link: the lookup goes out and its answer is the verdict.
  void expect_new_link_serves_lookups() {
    scoped_fd_t client = tests::tcp::start_connect(lookup_port);
    tests::queryd_peer_t peer = accept_link();
    const std::uint32_t serial = serial_of(peer.receive());
    peer.send(tests::queryd_peer_t::lookup_answer(serial, {"reject"}));
    expect_refused(std::move(client));
  }
};

// What goes wrong with QueryD, and the error the lookup fails with: it sends something other than an
// answer (act), or it cannot be reached (no act; busy: it accepts nothing and its queue of connections
// is full, else there is no socket file; error: the reason the connect fails).
struct bad_answer_t {
  const char *name;
  std::function<void(tests::queryd_peer_t &, std::uint32_t serial)> act;
  std::string error;
  bool busy = false;
};
void PrintTo(const bad_answer_t &m, std::ostream *os) { *os << m.name; }

struct queryd_bad_answer_t : queryd_bad_peer_t, ::testing::WithParamInterface<bad_answer_t> {};

// The lookup fails (at once when QueryD cannot be reached), the connection is checked, passed
// connections are unaffected, and the next lookup connects again and is served.
TEST_P(queryd_bad_answer_t, LookupFailsConnectionIsCheckedAndTheNextLookupGetsANewLink) {
  const bad_answer_t &b = GetParam();
  scoped_fd_t filler;
  if (b.busy) {
    ASSERT_TRUE(filler = fill_accept_queue(queryd, queryd_path()));
  } else if (b.act) {
    queryd = std::make_unique<tests::unix_listener_t>(queryd_path());
  }
  ASSERT_NO_FATAL_FAILURE(start());
  scoped_fd_t client = tests::tcp::start_connect(lookup_port);
  std::optional<tests::queryd_peer_t> peer;
  if (b.act) {
    peer.emplace(accept_link());
    b.act(*peer, serial_of(peer->receive()));
  }
  expect_checked(std::move(client));
  peer.reset();
  const std::string error = b.act ? b.error : "Cannot connect to " + queryd_path() + ": " + b.error;
  expect_failure_logged("Lookup: " + error);
  EXPECT_EQ(daemon.count("Warning: QueryD: " + error + "\n"), 1u) << daemon.output();
  expect_passed();
  if (b.busy) EXPECT_TRUE(queryd->accept());
  else if (!b.act) queryd = std::make_unique<tests::unix_listener_t>(queryd_path());
  filler.reset();
  expect_new_link_serves_lookups();
  EXPECT_TRUE(daemon.wait_for_count("QueryD: connected to " + queryd_path() + "\n", b.act ? 2 : 1)) << daemon.output();
  expect_clean_stop(daemon);
}

using qpeer_t = tests::queryd_peer_t;
INSTANTIATE_TEST_SUITE_P(
    Queryd, queryd_bad_answer_t,
    ::testing::Values(
        bad_answer_t{"GarbageInAFrame", [](qpeer_t &p, auto) { p.send_bytes(p.frame("\xde\xad\xbe\xef\x00\x17")); },
                     "lp.ServerMessage: invalid message format"},
        // Its first four bytes make a length far beyond the limit.
        bad_answer_t{"TextInsteadOfFrames", [](qpeer_t &p, auto) { p.send_bytes("HTTP/1.1 200 OK\r\n\r\n"); },
                     "invalid message size received"},
        // The daemon makes room for the largest frame allowed, then the link closes.
        bad_answer_t{"LargestFrameCutShort",
                     [](qpeer_t &p, auto) { p.send_bytes(p.le32(64 << 20) + std::string(100000, '\x0a')), p.close(); },
                     "read failed: End of file"},
        bad_answer_t{"AnswerWithoutSerial", [](qpeer_t &p, auto) { auto m = p.lookup_answer(0, {"pass"}); m.clear_serial(), p.send(m); },
                     "message lp.ServerMessage tagged LOOKUP_RESPONSE does not have field serial set"},
        // Tag 9, then the serial (one byte of varint).
        bad_answer_t{"UnknownTag",
                     [](qpeer_t &p, std::uint32_t serial) {
                       ASSERT_LT(serial, 128u);
                       p.send_bytes(p.frame(std::string("\x08\x09\x10", 3) + char(serial)));
                     },
                     "lp.ServerMessage: unknown message tag: 9"},
        bad_answer_t{"NoSocketFile", nullptr, "No such file or directory"},
        bad_answer_t{"AcceptQueueFull", nullptr, "Resource temporarily unavailable", true}),
    [](const auto &info) { return std::string(info.param.name); });

// A QueryD that never answers holds only the connections whose hooks wait for it: other connections get
// their verdicts and other requests on the same link their answers. When it also stops reading, the
// next request fails to go out (a broken pipe, not a SIGPIPE) and every request pending on the link
// fails with it. The daemon stops cleanly with a request still pending.
TEST_F(queryd_bad_peer_t, ALookupNeverAnsweredHoldsOnlyItsOwnConnection) {
  queryd = std::make_unique<tests::unix_listener_t>(queryd_path());
  ASSERT_NO_FATAL_FAILURE(start());
  scoped_fd_t waiting = tests::tcp::start_connect(lookup_port);
  {
    tests::queryd_peer_t peer = accept_link();
    serial_of(peer.receive());
    expect_passed();
    scoped_fd_t checked = tests::tcp::start_connect(check_port);
    peer.send(tests::queryd_peer_t::check_answer(serial_of(peer.receive(), false), true));
    expect_refused(std::move(checked));
    EXPECT_EQ(tests::tcp::finish_connect(waiting.get(), 0), connect_outcome_t::timed_out) << "decided without an answer";
    EXPECT_EQ(daemon.count("falling back to CHECK"), 0u) << daemon.output();
    ASSERT_EQ(::shutdown(peer.fd(), SHUT_RD), 0);
    scoped_fd_t next = tests::tcp::start_connect(lookup_port);
    expect_checked(std::move(waiting));
    expect_checked(std::move(next));
  }
  expect_failure_logged("Lookup: write failed: Broken pipe", 2);
  scoped_fd_t last = tests::tcp::start_connect(lookup_port);
  tests::queryd_peer_t peer = accept_link();
  serial_of(peer.receive());
  expect_clean_stop(daemon);
}

// How VettD cannot be reached (as for QueryD) and how the daemon then ends.
struct unreachable_t {
  const char *name;
  bool busy;
  std::string reason;
  int status;
};
void PrintTo(const unreachable_t &m, std::ostream *os) { *os << m.name; }

// And a VettD that misbehaves: it closes the link at once, writes to it, stops reading so that frames pile
// up, closes with frames pending, or is not there at all. The daemon drops the tie (quietly or with one
// error line), closes the pairs it could not hand over so that their connections end, keeps serving
// other connections, and asks HubD for VettD again with the next pair; an unreachable VettD ends it.

const char *const check_hook = R"(function intercept_hook(ctx)
  if ctx.dst.port == 7002 then return "pass" end
  return "check"
end
)";

struct vettd_bad_peer_t : bad_peer_t {
  std::unique_ptr<tests::unix_listener_t> vettd;
  std::string vettd_path() const { return daemon.path("vettd.sock"); }
  void start(const std::string &extra_config = {}) {
    daemon.start({check_hook, extra_config, vettd_path(), std::nullopt});
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
    checked_t c{tests::tcp::start_connect(lookup_port), {}};
    c.server = server_side(c.client, lookup_port);
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
  EXPECT_TRUE(daemon.wait_for_count("Debug: VettD tie manager: requesting VettD\n", 2)) << daemon.output();
  EXPECT_EQ(daemon.count("Debug: VettD tie manager: requesting VettD\n"), 2u) << daemon.output();
  expect_clean_stop(daemon);
}

INSTANTIATE_TEST_SUITE_P(
    Vettd, vettd_idle_link_t,
    ::testing::Values(idle_misbehaviour_t{"ClosesRightAfterAccepting", [](tests::vettd_peer_t &p) { p.close(); }, ""},
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
  expect_clean_stop(daemon);
}

struct vettd_unreachable_t : vettd_bad_peer_t, ::testing::WithParamInterface<unreachable_t> {};

// Failing to connect to VettD ends the daemon with the status of the connect error; it stops as it
// does on SIGTERM, so none of its rules, routing rules or state is left behind.
TEST_P(vettd_unreachable_t, EndsTheDaemonAndLeavesNothingBehind) {
  const unreachable_t &u = GetParam();
  scoped_fd_t filler;
  if (u.busy) {
    ASSERT_TRUE(filler = fill_accept_queue(vettd, vettd_path()));
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

INSTANTIATE_TEST_SUITE_P(Vettd, vettd_unreachable_t,
                         ::testing::Values(unreachable_t{"NoSocketFile", false, "No such file or directory", 23},
                                           unreachable_t{"AcceptQueueFull", true, "Resource temporarily unavailable", 125}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
