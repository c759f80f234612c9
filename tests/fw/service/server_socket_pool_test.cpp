#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>
#include <deque>

#include "fw/service/path/server_socket_pool.hpp"
#include "tests/fw/service/service_fixture.hpp"
#include "tests/support/log_capture.hpp"

namespace {

using fw::net::endpoint_t;
using namespace std::chrono_literals;

using tests::ep;

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// Accepts exactly the pairs it is told to expect.
struct strict_delegate_t : fw::service::server_socket_pool_t::delegate_t {
  struct pair_t {
    endpoint_t server, client;
    int server_fd, client_fd;
    std::string rule_set;
  };
  std::deque<pair_t> expected;

  void new_socket_pair(fw::service::server_socket_pool_t::endpoint_socket_t server,
                       fw::service::server_socket_pool_t::endpoint_socket_t client, const mv::RuleSet &rules) override {
    ASSERT_FALSE(expected.empty()) << "unexpected pair for " << fw::net::to_string(client.endpoint);
    const pair_t want = expected.front();
    expected.pop_front();
    EXPECT_EQ(server.endpoint, want.server);
    EXPECT_EQ(client.endpoint, want.client);
    EXPECT_EQ(server.socket.get(), want.server_fd);
    EXPECT_EQ(client.socket.get(), want.client_fd);
    EXPECT_EQ(rules.ShortDebugString(), want.rule_set);
  }
  ~strict_delegate_t() override { EXPECT_TRUE(expected.empty()) << expected.size() << " pairs never arrived"; }
};

mv::RuleSet rules_named(const std::string &user) {
  mv::RuleSet rules;
  rules.add_variable()->set_user_name(user);
  return rules;
}

struct PoolTest : ::testing::Test {
  tests::log_capture_t log;
  strict_delegate_t delegate;
  std::chrono::steady_clock::time_point now{1000s};
  fw::service::server_socket_pool_t pool{delegate, 4, [this] { return now; }};
  const endpoint_t client = ep("10.0.0.1", 40000), server = ep("192.0.2.7", 443);

  int add(const endpoint_t &c, const endpoint_t &s, const std::string &user = "u") {
    const int fd = ::eventfd(0, 0);
    pool.add_server_socket(c, s, rules_named(user), fw::util::scoped_fd_t(fd));
    return fd;
  }
};

TEST_F(PoolTest, PairsClientsWithTheOldestServerSocketOfTheirKey) {
  const int first = add(client, server, "first");
  const int second = add(client, server, "second");
  const int other = add(ep("10.0.0.1", 40001), server);
  EXPECT_TRUE(pool.has_server_socket(client, server));
  EXPECT_FALSE(pool.has_server_socket(server, client));

  const int c1 = ::eventfd(0, 0), c2 = ::eventfd(0, 0);
  delegate.expected.push_back({server, client, first, c1, R"(variable { user_name: "first" })"});
  pool.new_client_socket(client, server, fw::util::scoped_fd_t(c1));
  EXPECT_TRUE(pool.has_server_socket(client, server));
  delegate.expected.push_back({server, client, second, c2, R"(variable { user_name: "second" })"});
  pool.new_client_socket(client, server, fw::util::scoped_fd_t(c2));
  EXPECT_FALSE(pool.has_server_socket(client, server));
  EXPECT_TRUE(is_open(other));
  EXPECT_EQ(pool.size(), 1u);
  EXPECT_EQ(log.count("Debug: Server socket pool: new server socket 10.0.0.1:40000 -> 192.0.2.7:443"), 2u);
  EXPECT_EQ(log.count("Debug: Server socket pool: new client socket 10.0.0.1:40000 -> 192.0.2.7:443"), 2u);
}

TEST_F(PoolTest, ClientWithoutServerSocketIsClosed) {
  const int fd = ::eventfd(0, 0);
  pool.new_client_socket(client, server, fw::util::scoped_fd_t(fd));
  EXPECT_FALSE(is_open(fd));
  EXPECT_EQ(log.count("Debug: Server socket pool: no server socket is open for 10.0.0.1:40000 -> 192.0.2.7:443; "
                      "closing client socket"),
            1u)
      << log.all();
}

TEST_F(PoolTest, SocketsOlderThanFiveMinutesExpireAtTheNextInsertion) {
  const int old1 = add(ep("10.0.0.1", 1), server);
  now += 1s;
  const int old2 = add(ep("10.0.0.1", 2), server);
  now += 299s + 999'999'999ns; // old2 is not yet older than 300 s
  const int young = add(ep("10.0.0.1", 3), server);
  EXPECT_FALSE(is_open(old1));
  EXPECT_TRUE(is_open(old2));
  EXPECT_EQ(log.count("Info: Server socket pool: erasing 1 expired server sockets"), 1u) << log.all();
  EXPECT_FALSE(pool.has_server_socket(ep("10.0.0.1", 1), server));

  now += 301s;
  add(client, server);
  EXPECT_FALSE(is_open(old2));
  EXPECT_FALSE(is_open(young));
  EXPECT_EQ(log.count("Info: Server socket pool: erasing 2 expired server sockets"), 1u) << log.all();
  EXPECT_EQ(pool.size(), 1u);
}

TEST_F(PoolTest, TheFourthSocketPushesOutTheFirstAtLimitFour) {
  const int first = add(ep("10.0.0.1", 1), server);
  const int second = add(ep("10.0.0.1", 2), server);
  add(ep("10.0.0.1", 3), server);
  EXPECT_EQ(log.count_containing("exceeded"), 0u);
  add(ep("10.0.0.1", 4), server);
  EXPECT_FALSE(is_open(first));
  EXPECT_TRUE(is_open(second));
  EXPECT_FALSE(pool.has_server_socket(ep("10.0.0.1", 1), server));
  EXPECT_EQ(pool.size(), 3u);
  EXPECT_EQ(log.count("Info: Server socket pool: exceeded the limit of 4 open files; pushing out the oldest server "
                      "socket"),
            1u)
      << log.all();
}

} // namespace
