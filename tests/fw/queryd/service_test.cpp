#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem.hpp>

#include "fw/hubd/tie.hpp"
#include "fw/service/siblings/queryd.hpp"
#include "mv/util/exceptions.hpp"
#include "tests/fw/queryd/peer.hpp"
#include "tests/support/fake_hubd.hpp"

namespace {

using namespace std::chrono_literals;

std::string failure_of(const std::function<void()> &f) {
  try {
    f();
  } catch (...) {
    const auto e = std::current_exception();
    return std::to_string(mv::util::error_code_of(e).value()) + " " + mv::util::describe_exception(e);
  }
  return "no failure";
}

TEST(queryd_connect, PathsAbove107BytesAreRejectedAndConnectFailuresNameThePath) {
  boost::asio::io_context io;
  const std::string longest = "/nonexistent/" + std::string(107 - 13, 'p');
  ASSERT_EQ(longest.size(), 107u);
  EXPECT_EQ(failure_of([&] { fw::service::queryd_t::connect(io, longest); }),
            "2 Cannot connect to " + longest + ": No such file or directory");
  EXPECT_EQ(failure_of([&] { fw::service::queryd_t::connect(io, longest + "p"); }),
            "36 Cannot connect to " + longest + "p: File name too long");
}

struct ignore_t : fw::hubd::tie_t::delegate_t {
  void on_error(std::exception_ptr) override { ADD_FAILURE() << "the HubD tie failed"; }
};

// The service over a HubD tie whose other end the test plays, and a real listening socket for QueryD.
struct service_test_t : ::testing::Test {
  boost::asio::io_context io;
  ignore_t ignore;
  int hubd = -1;
  std::unique_ptr<fw::hubd::tie_t> tie;
  std::unique_ptr<fw::service::queryd_t> service;
  boost::filesystem::path dir;
  std::vector<std::string> results;

  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    hubd = fds[1];
    timeval timeout{5, 0};
    ::setsockopt(hubd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    fw::util::asio_stream_socket_wrapper_t::socket_t socket(io);
    socket.assign(boost::asio::local::stream_protocol(), fds[0]);
    tie = std::make_unique<fw::hubd::tie_t>(ignore, std::make_unique<fw::util::asio_stream_socket_wrapper_t>(std::move(socket)));
    service = std::make_unique<fw::service::queryd_t>(io, *tie);
    dir = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("queryd-%%%%%%%%");
    boost::filesystem::create_directories(dir);
  }
  void TearDown() override {
    service.reset();
    tie.reset();
    ::close(hubd);
    boost::filesystem::remove_all(dir);
  }

  void lookup() {
    service->client().lookup("allmatch", "t", {}, [this](std::exception_ptr e, std::vector<std::string> data) {
      results.push_back(e ? mv::util::describe_exception(e) : "ok " + std::to_string(data.size()));
    });
  }
  // Reads the daemon's next HubD request and answers it with a path or an error.
  void answer_hubd(const std::string &path, mv::ErrorCode error = mv::EC_OK) {
    io.poll();
    io.restart();
    unsigned char prefix[4];
    ASSERT_EQ(::recv(hubd, prefix, 4, MSG_WAITALL), 4);
    std::string payload(prefix[0], '\0');
    ASSERT_EQ(::recv(hubd, payload.data(), payload.size(), MSG_WAITALL), static_cast<ssize_t>(payload.size()));
    mv::Firewall2HubdMessage request;
    ASSERT_TRUE(request.ParseFromString(payload));
    ASSERT_EQ(request.tag(), mv::Firewall2HubdMessage::GET_QUERYD_REQUEST);
    mv::Hubd2FirewallMessage reply;
    reply.set_tag(mv::Hubd2FirewallMessage::GET_QUERYD_RESPONSE);
    if (error != mv::EC_OK)
      reply.mutable_error()->set_code(error);
    else
      reply.set_socket_path(path);
    const std::string f = tests::fake_hubd_t::frame(reply.SerializeAsString());
    ASSERT_EQ(::send(hubd, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
  }
  void run_until(std::size_t n) {
    while (results.size() < n && io.run_one_for(5s) > 0) {
    }
    io.restart();
    ASSERT_EQ(results.size(), n);
  }
};

TEST_F(service_test_t, ThePathComesFromHubDAndEachFailureReachesThePendingJobs) {
  lookup();
  lookup();
  answer_hubd("", mv::EC_NO_SUCH_ENTRY);
  run_until(2);
  EXPECT_EQ(results[0], "Cannot get queryd socket path: No such file or directory");
  EXPECT_EQ(results[1], results[0]);

  const std::string missing = (dir / "missing.sock").string();
  lookup();
  answer_hubd(missing);
  run_until(3);
  EXPECT_EQ(results[2], "Cannot connect to " + missing + ": No such file or directory");

  // A listening socket: the job reaches it over the new connection.
  const std::string path = (dir / "queryd.sock").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  lookup();
  answer_hubd(path);
  while (!service->client().connected() && io.run_one_for(5s) > 0) {
  }
  io.restart();
  const int queryd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(queryd, 0);
  io.poll();
  io.restart();
  unsigned char prefix[4];
  ASSERT_EQ(::recv(queryd, prefix, 4, MSG_WAITALL), 4);
  std::string payload(prefix[0], '\0');
  ASSERT_EQ(::recv(queryd, payload.data(), payload.size(), MSG_WAITALL), static_cast<ssize_t>(payload.size()));
  lp::ClientMessage request;
  ASSERT_TRUE(request.ParseFromString(payload));
  // Serial 1: the candidate stays on the last serial handed out (the failed jobs held 0 and 1).
  EXPECT_EQ(request.ShortDebugString(), "tag: LOOKUP_REQUEST serial: 1 lookup_type: LOOKUP_ALLMATCH lookup_tag: \"t\"");
  lp::ServerMessage answer;
  answer.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);
  answer.set_serial(request.serial());
  answer.add_data("a");
  const std::string f = tests::fake_hubd_t::frame(answer.SerializeAsString());
  ASSERT_EQ(::send(queryd, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
  run_until(4);
  EXPECT_EQ(results[3], "ok 1");
  ::close(queryd);
  ::close(listener);
}

} // namespace
