#include <gtest/gtest.h>

#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "fw/queryd/queryd.hpp"
#include "fw/util/asio_stream_socket_wrapper.hpp"
#include "mv/util/exceptions.hpp"
#include "tests/support/queryd_peer.hpp"

namespace {

using server_t = lp::ServerMessage;
using namespace std::chrono_literals;

struct provider_t : fw::queryd::queryd_t::link_provider_t {
  std::vector<handler_t> requests;
  void get_link(handler_t handler) override { requests.push_back(std::move(handler)); }
};

std::string outcome(const std::exception_ptr &e) {
  return "error " + std::to_string(mv::util::error_code_of(e).value()) + " " + mv::util::describe_exception(e);
}

server_t error_answer(server_t::ServerMessageTag tag, std::uint32_t serial, mv::ErrorCode code, const std::string &what) {
  server_t m;
  m.set_tag(tag);
  m.set_serial(serial);
  m.mutable_error()->set_code(code);
  m.mutable_error()->set_what(what);
  return m;
}

// The client with a link provider that keeps its requests for the test to answer, and a scripted QueryD.
struct client_test_t : ::testing::Test {
  boost::asio::io_context io;
  provider_t provider;
  std::unique_ptr<tests::queryd_peer_t> peer;
  std::unique_ptr<fw::queryd::queryd_t> client;
  std::vector<std::string> results;

  void SetUp() override { make_client(180s); }
  void make_client(std::chrono::steady_clock::duration idle, std::chrono::steady_clock::duration limit = 30s) {
    client = std::make_unique<fw::queryd::queryd_t>(io, provider, idle, limit);
  }

  void lookup(const std::string &name, const std::string &type, const std::string &tag,
              const fw::queryd::queryd_t::params_t &params = {}) {
    client->lookup(type, tag, params, [this, name](std::exception_ptr e, std::vector<std::string> data) {
      std::string text;
      for (const auto &d : data) text += (text.empty() ? "" : ",") + d;
      results.push_back(name + " " + (e ? outcome(e) : "ok [" + text + "]"));
    });
  }
  void check(const std::string &name, const std::string &type, const std::string &tag, const std::string &value,
             const fw::queryd::queryd_t::params_t &params = {}) {
    client->check(type, tag, value, params, [this, name](std::exception_ptr e, bool result) {
      results.push_back(name + " " + (e ? outcome(e) + (result ? " true" : "") : result ? "ok true" : "ok false"));
    });
  }

  // Hands the client the one outstanding link request's answer: a new socket pair, the test at the far end.
  void connect() {
    ASSERT_EQ(provider.requests.size(), 1u);
    auto handler = std::move(provider.requests.front());
    provider.requests.clear();
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peer = std::make_unique<tests::queryd_peer_t>(fw::util::scoped_fd_t(fds[1]));
    fw::util::asio_stream_socket_wrapper_t::socket_t socket(io);
    socket.assign(boost::asio::local::stream_protocol(), fds[0]);
    handler(nullptr, std::make_unique<fw::util::asio_stream_socket_wrapper_t>(std::move(socket)));
    settle();
  }
  void settle() {
    io.poll();
    io.restart();
  }
  // Runs the loop until n results are in (a 5-second limit per step keeps a broken client from hanging).
  void run_until(std::size_t n) {
    while (results.size() < n && io.run_one_for(5s) > 0) {
    }
    io.restart();
    ASSERT_EQ(results.size(), n);
  }
};

TEST_F(client_test_t, AnswersMatchTheirJobsBySerialAndQueryDErrorsReachTheHandlers) {
  lookup("a", "allmatch", "t");
  check("b", "allmatch", "t", "v");
  lookup("c", "allmatch", "t");
  lookup("d", "allmatch", "t");
  check("e", "allmatch", "t", "v");
  check("f", "allmatch", "t", "v");
  connect();
  for (int i = 0; i < 6; ++i) peer->receive();

  // An unknown serial is ignored and leaves every job pending.
  peer->send(tests::queryd_peer_t::lookup_answer(9, {"x"}));
  peer->send(tests::queryd_peer_t::check_answer(1, true));
  run_until(1);
  EXPECT_EQ(client->pending(), 5u);
  peer->send(tests::queryd_peer_t::lookup_answer(0, {"x", "y"}));
  peer->send(error_answer(server_t::LOOKUP_RESPONSE, 2, mv::EC_OK, "nothing"));
  peer->send(error_answer(server_t::LOOKUP_RESPONSE, 3, mv::EC_NO_SUCH_ENTRY, "no list t"));
  peer->send(error_answer(server_t::CHECK_RESPONSE, 4, mv::EC_OK, ""));
  // A result wins over an error sent along with it.
  server_t both = error_answer(server_t::CHECK_RESPONSE, 5, mv::EC_INVALID_ARGUMENT, "bad");
  both.set_result(true);
  peer->send(both);
  run_until(6);
  EXPECT_EQ(results, (std::vector<std::string>{"b ok true", "a ok [x,y]", "c ok []", "d error 23 no list t", "e ok false",
                                               "f ok true"}));
  EXPECT_EQ(client->pending(), 0u);
}

TEST_F(client_test_t, TheLowestFreeSerialAtOrAfterTheLastOneIsUsed) {
  lookup("a", "ad", "t");
  connect();
  EXPECT_EQ(peer->receive()->serial(), 0u);
  peer->send(tests::queryd_peer_t::lookup_answer(0, {}));
  run_until(1);
  lookup("b", "ad", "t"); // 0 again
  lookup("c", "ad", "t"); // 1
  peer->send(tests::queryd_peer_t::lookup_answer(0, {}));
  run_until(2);
  lookup("d", "ad", "t"); // 0 is free but lies before the candidate 1, which is held: 2
  peer->send(tests::queryd_peer_t::lookup_answer(1, {}));
  peer->send(tests::queryd_peer_t::lookup_answer(2, {}));
  run_until(4);
  lookup("e", "ad", "t"); // the candidate 2 is free again
  settle();
  std::vector<std::uint32_t> serials;
  for (int i = 0; i < 4; ++i) serials.push_back(peer->receive()->serial());
  EXPECT_EQ(serials, (std::vector<std::uint32_t>{0, 1, 2, 2}));
}

TEST_F(client_test_t, TheIdleTimerClosesTheLinkAtAnExpiryWithNothingPendingAndTheNextJobReconnects) {
  make_client(20ms);
  lookup("a", "mysql", "t");
  connect();
  ASSERT_TRUE(peer->receive());
  // Expiries with the job pending keep the link.
  io.run_for(100ms);
  io.restart();
  EXPECT_TRUE(client->connected());
  // An answer does not restart the period: the link goes at the next expiry.
  peer->send(tests::queryd_peer_t::lookup_answer(0, {"r"}));
  run_until(1);
  while (client->connected() && io.run_one_for(5s) > 0) {
  }
  io.restart();
  EXPECT_FALSE(peer->receive()); // closed
  lookup("b", "mysql", "t");
  connect();
  EXPECT_EQ(peer->receive()->ShortDebugString(), "tag: LOOKUP_REQUEST serial: 0 lookup_type: LOOKUP_MYSQL lookup_tag: \"t\"");
}

// An unanswered job fails at the time limit; its serial stays taken; its late answer is ignored.
TEST_F(client_test_t, UnansweredJobsFailAtTheTimeLimit) {
  make_client(180s, 500ms);
  lookup("a", "allmatch", "t");
  connect();
  peer->receive();
  run_until(1);
  EXPECT_EQ(results[0], "a error 110 QueryD: no answer: Connection timed out");
  check("b", "allmatch", "t", "v");
  settle();
  EXPECT_EQ(peer->receive()->ShortDebugString(), "tag: CHECK_REQUEST serial: 1 lookup_type: LOOKUP_ALLMATCH lookup_tag: \"t\" check: \"v\"");
  peer->send(tests::queryd_peer_t::lookup_answer(0, {"late"}));
  while (client->pending() > 1 && io.run_one_for(5s) > 0) {
  }
  EXPECT_EQ(client->pending(), 1u);
  EXPECT_EQ(results.size(), 1u);
}

} // namespace
