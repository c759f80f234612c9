// The VettD tie manager between a HubD played by the test (over a real HubD tie) and a VettD socket
// the test listens on: pairs queued while VettD is being obtained, settings of each start, and what
// HubD's and VettD's answers do to the manager.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include "fw/hubd/tie.hpp"
#include "fw/service/server_socket_pool.hpp"
#include "fw/service/vettd_tie_manager.hpp"
#include "fw/util/asio_stream_socket_wrapper.hpp"
#include "mv/log/log.hpp"
#include "mv/util/error_code.hpp"
#include "mv/util/exceptions.hpp"
#include "tests/support/fake_hubd.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/vettd_peer.hpp"

namespace {

namespace fs = boost::filesystem;
using fw::service::vettd_tie_manager_t;
using fw::util::scoped_fd_t;
using out_t = mv::Firewall2HubdMessage;
using in_t = mv::Hubd2FirewallMessage;

struct hubd_failures_t : fw::hubd::tie_t::delegate_t {
  std::vector<std::exception_ptr> errors;
  void on_error(std::exception_ptr e) override { errors.push_back(e); }
};

scoped_fd_t unix_listener(const std::string &path) {
  scoped_fd_t fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  EXPECT_LT(path.size(), sizeof address.sun_path);
  std::copy(path.begin(), path.end(), address.sun_path);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address), 0) << path;
  EXPECT_EQ(::listen(fd.get(), 8), 0);
  return fd;
}

struct vettd_tie_manager_test_t : ::testing::Test {
  boost::asio::io_context io;
  std::unique_ptr<tests::log_capture_t> log = std::make_unique<tests::log_capture_t>();
  fs::path dir;
  std::string path;
  scoped_fd_t listener;
  scoped_fd_t hubd_side;
  std::string hubd_bytes;
  hubd_failures_t hubd_failures;
  std::unique_ptr<fw::hubd::tie_t> hubd;
  mv::DarorUvurarevUzuvid config;
  std::unique_ptr<vettd_tie_manager_t> manager;
  std::unique_ptr<tests::vettd_peer_t> vettd;
  std::vector<scoped_fd_t> kept; // the far ends of the sockets handed to the manager

  void SetUp() override {
    dir = fs::temp_directory_path() / fs::unique_path("vettd-tie-manager-%%%%%%%%");
    fs::create_directories(dir);
    path = (dir / "vettd.sock").string();
    listener = unix_listener(path);

    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    hubd_side.reset(fds[1]);
    fw::util::asio_stream_socket_wrapper_t::socket_t socket(io);
    socket.assign(boost::asio::local::stream_protocol(), fds[0]);
    hubd = std::make_unique<fw::hubd::tie_t>(hubd_failures,
                                             std::make_unique<fw::util::asio_stream_socket_wrapper_t>(std::move(socket)));
    config.set_scan_timeout(45);
    config.set_archive_max_level(7);
    manager = std::make_unique<vettd_tie_manager_t>(io, config, *hubd);
  }
  void TearDown() override {
    manager.reset();
    hubd.reset();
    log.reset();
    mv::log::set_log(mv::log::default_log());
    fs::remove_all(dir);
  }

  void pump() {
    io.poll();
    io.restart();
  }

  // The requests HubD received so far.
  std::vector<out_t> hubd_requests() {
    pump();
    char chunk[4096];
    ssize_t n;
    while ((n = ::recv(hubd_side.get(), chunk, sizeof chunk, MSG_DONTWAIT)) > 0) hubd_bytes.append(chunk, n);
    std::vector<out_t> requests;
    while (hubd_bytes.size() >= 4) {
      const auto *p = reinterpret_cast<const unsigned char *>(hubd_bytes.data());
      const std::size_t length = p[0] | p[1] << 8 | p[2] << 16;
      if (hubd_bytes.size() < 4 + length) break;
      requests.emplace_back().ParseFromString(hubd_bytes.substr(4, length));
      hubd_bytes.erase(0, 4 + length);
    }
    return requests;
  }
  void expect_one_vettd_request() {
    const auto requests = hubd_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].tag(), out_t::GET_VETTD_REQUEST);
  }
  void answer(const in_t &m) {
    const std::string f = tests::fake_hubd_t::frame(m.SerializeAsString());
    ASSERT_EQ(::send(hubd_side.get(), f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
  }
  void answer_path(const std::string &socket_path) {
    in_t m;
    m.set_tag(in_t::GET_VETTD_RESPONSE);
    m.set_socket_path(socket_path);
    answer(m);
  }
  // Runs the loop until the manager's connection reaches the listener, and takes it as VettD.
  void accept_vettd() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      pump();
      const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        vettd = std::make_unique<tests::vettd_peer_t>(fd);
        break;
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the manager did not connect";
      pollfd p{listener.get(), POLLIN, 0};
      ::poll(&p, 1, 10);
    }
    // The connect completes on the loop; then the waiting pairs go out.
    while (!manager->connected() && std::chrono::steady_clock::now() < deadline) io.run_one_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(manager->connected());
  }
  void connect() {
    manager->start();
    expect_one_vettd_request();
    answer_path(path);
    accept_vettd();
  }

  // Hands over a pair of sockets whose far ends the test keeps; the rule set names the pair.
  void new_pair(const std::string &name) {
    int c[2], s[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, c), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s), 0);
    kept.emplace_back(c[1]);
    kept.emplace_back(s[1]);
    mv::RuleSet rules;
    rules.add_variable()->set_exe_path(name);
    const auto address = boost::asio::ip::make_address("10.0.0.1");
    manager->new_socket_pair({{boost::asio::ip::make_address("192.0.2.7"), 443}, scoped_fd_t(s[0])},
                             {{address, 40000}, scoped_fd_t(c[0])}, rules);
  }
  std::string received_name() {
    auto frame = vettd->receive([this] { pump(); });
    if (!frame) return "none";
    EXPECT_EQ(frame->fds.size(), 2u);
    return frame->message.rule_set().variable(0).exe_path();
  }
  std::optional<vd::ClientMessage> receive() {
    auto frame = vettd->receive([this] { pump(); });
    if (!frame) return std::nullopt;
    return frame->message;
  }
  std::string hubd_error() {
    if (hubd_failures.errors.empty()) return "no error";
    const auto &e = hubd_failures.errors.front();
    return mv::util::error_code_of(e).category().name() + std::string(":") +
           std::to_string(mv::util::error_code_of(e).value()) + " " + mv::util::describe_exception(e);
  }
};

TEST_F(vettd_tie_manager_test_t, AFailingTieIsLoggedAndTheDaemonGoesOn) {
  connect();
  ASSERT_EQ(::send(vettd->fd(), "!", 1, MSG_NOSIGNAL), 1);
  for (int i = 0; i < 100 && manager->connected(); ++i) io.run_one_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(manager->connected());
  EXPECT_EQ(log->count("Error: VettD tie manager: VettD tie: : Protocol violation"), 1u);
  EXPECT_TRUE(hubd_failures.errors.empty());

  new_pair("after");
  expect_one_vettd_request();
  answer_path(path);
  accept_vettd();
  EXPECT_EQ(received_name(), "after");
}

} // namespace
