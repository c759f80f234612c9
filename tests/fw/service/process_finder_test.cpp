// The process finder against real TCP sockets inside a private network namespace, with both inode
// getters; a gated getter makes the batching observable.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "fw/linux/sock_diag/response_message.hpp"
#include "fw/service/process_finder.hpp"
#include "fw/util/scoped_fd.hpp"
#include "mv/util/exceptions.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/error_text.hpp"

namespace {

using finder_t = fw::service::process_finder_t;
using endpoint_t = finder_t::endpoint_t;
using conn_key_t = finder_t::key_t;
using fw::util::scoped_fd_t;

endpoint_t local_endpoint(int fd, bool peer = false) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (peer) ::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length);
  else ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  return {boost::asio::ip::address_v4(ntohl(address.sin_addr.s_addr)), ntohs(address.sin_port)};
}

// A listener on 127.0.0.1 and one connection to it: the client socket and the accepted socket.
struct loopback_pair_t {
  scoped_fd_t listener, client, server;

  loopback_pair_t() {
    listener.reset(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener.get(), 8), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length);
    client.reset(::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    server.reset(::accept(listener.get(), nullptr, nullptr));
  }
  conn_key_t client_key() const { return {local_endpoint(client.get()), local_endpoint(client.get(), true)}; }
  conn_key_t server_key() const { return {local_endpoint(server.get()), local_endpoint(server.get(), true)}; }
};

// One answer: the PID or the error text.
using answer_t = std::variant<int, std::string>;

// Queues one request per key, runs the event loop until every answer is in, and checks that every
// handler ran on the event-loop thread.
std::vector<answer_t> find(finder_t &finder, boost::asio::io_context &io, const std::vector<conn_key_t> &keys) {
  std::vector<answer_t> answers(keys.size(), std::string("no answer"));
  auto guard = boost::asio::make_work_guard(io);
  std::size_t pending = keys.size();
  const auto loop_thread = std::this_thread::get_id();
  for (std::size_t i = 0; i < keys.size(); ++i)
    finder.find_pid(keys[i].first, keys[i].second, [&, i](std::exception_ptr error, int pid) {
      EXPECT_EQ(std::this_thread::get_id(), loop_thread);
      if (error) {
        EXPECT_EQ(pid, 0);
        try {
          std::rethrow_exception(error);
        } catch (const std::exception &e) {
          answers[i] = mv::util::exception_message(e);
        }
      } else {
        answers[i] = pid;
      }
      --pending;
    });
  while (pending > 0) io.run_one();
  return answers;
}

// Wraps a real getter, records the size of every batch, and holds the first batch until released.
class gated_getter_t : public finder_t::inode_getter_t {
public:
  explicit gated_getter_t(std::unique_ptr<inode_getter_t> inner) : inner_(std::move(inner)) {}
  std::string name() const override { return inner_->name(); }
  std::vector<std::uint32_t> get_inodes(const std::vector<conn_key_t> &keys) override {
    {
      std::lock_guard guard(lock_);
      batches_.push_back(keys.size());
    }
    if (first_) {
      first_ = false;
      entered_.set_value();
      gate_.get_future().wait();
    }
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    return inner_->get_inodes(keys);
  }

  std::promise<void> entered_, gate_;
  std::mutex lock_;
  std::vector<std::size_t> batches_;

private:
  std::unique_ptr<inode_getter_t> inner_;
  bool first_ = true;
};

std::unique_ptr<finder_t::inode_getter_t> make_getter(bool netlink) {
  if (netlink) return std::make_unique<finder_t::netlink_inode_getter_t>();
  return std::make_unique<finder_t::proc_inode_getter_t>();
}

class ProcessFinderKernel : public testing::TestWithParam<bool> {};

} // namespace

TEST_P(ProcessFinderKernel, FindsOwnSocketsAndReportsMisses) {
  tests::enter_fresh_netns();
  boost::asio::io_context io;
  finder_t finder(io, make_getter(GetParam()));
  loopback_pair_t pair;
  const conn_key_t unknown{pair.client_key().first, endpoint_t(boost::asio::ip::address_v4::loopback(), 1)};

  // Both ends, the client end twice in one batch, and a key without a socket.
  const auto answers = find(finder, io, {pair.client_key(), pair.server_key(), unknown, pair.client_key()});
  const int pid = ::getpid();
  EXPECT_EQ(answers[0], answer_t(pid));
  EXPECT_EQ(answers[1], answer_t(pid));
  EXPECT_EQ(answers[2], answer_t("Cannot find inode in " + finder.getter().name()));
  EXPECT_EQ(answers[3], answer_t(pid));
}

INSTANTIATE_TEST_SUITE_P(Getters, ProcessFinderKernel, testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Netlink" : "ProcNetTcp"; });

TEST(ProcessFinder, GettersAgreeOnABatchOfManySockets) {
  tests::enter_fresh_netns();
  std::vector<std::unique_ptr<loopback_pair_t>> pairs;
  std::vector<conn_key_t> keys;
  for (int i = 0; i < 20; ++i) {
    pairs.push_back(std::make_unique<loopback_pair_t>());
    keys.push_back(pairs.back()->client_key());
    keys.push_back(pairs.back()->server_key());
    keys.push_back({pairs.back()->client_key().first, endpoint_t()}); // no such socket
  }
  std::sort(keys.begin(), keys.end());
  const auto by_netlink = finder_t::netlink_inode_getter_t().get_inodes(keys);
  const auto by_proc = finder_t::proc_inode_getter_t().get_inodes(keys);
  EXPECT_EQ(by_netlink, by_proc);
  EXPECT_EQ(std::count(by_netlink.begin(), by_netlink.end(), 0u), 20);
}
