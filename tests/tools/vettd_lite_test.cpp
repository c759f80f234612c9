// The VettD stand-in fed by the daemon's own VettD tie: real TCP client/server pairs on loopback are
// relayed both ways, independently of each other, with half-closes passed on.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem.hpp>

#include "fw/util/scoped_fd.hpp"
#include "fw/vettd/tie.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/tcp.hpp"

namespace {

namespace fs = boost::filesystem;
using fw::util::scoped_fd_t;

const std::string vettd_lite = std::string(MOVRI_TOOLS_DIR) + "/movri-vettd-lite";

using tests::tcp::local_port;
using tests::tcp::loopback;

scoped_fd_t tcp_socket() {
  scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval timeout{10, 0}; // a relay that loses data fails the test instead of hanging it
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

scoped_fd_t listener() {
  auto fd = tcp_socket();
  const auto a = loopback(0);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a), 0);
  EXPECT_EQ(::listen(fd.get(), 8), 0);
  return fd;
}

scoped_fd_t connect_to(int listening) {
  auto fd = tcp_socket();
  const auto a = loopback(local_port(listening));
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a), 0);
  return fd;
}

scoped_fd_t accept_from(int listening) {
  scoped_fd_t fd(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
  const timeval timeout{10, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

void put(int fd, const std::string &text) {
  ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Exactly size bytes, or what came before the end of stream.
std::string get(int fd, std::size_t size) {
  std::string text(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::recv(fd, text.data() + done, size - done, 0);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  text.resize(done);
  return text;
}

bool at_end(int fd) {
  char c;
  return ::recv(fd, &c, 1, 0) == 0;
}

struct tcp_pair_t {
  scoped_fd_t client;      // the program that opened the connection
  scoped_fd_t client_side; // the daemon's accepted client socket, handed to VettD
  scoped_fd_t server_side; // the daemon's own connection to the server, handed to VettD
  scoped_fd_t server;      // the real server's accepted socket
};

struct vettd_lite_test_t : ::testing::Test, fw::vettd::tie_t::delegate_t {
  fs::path dir;
  std::string path;
  std::unique_ptr<tests::child_process_t> vettd;
  boost::asio::io_context io;
  std::unique_ptr<fw::vettd::tie_t> tie;
  scoped_fd_t front = listener(), back = listener();

  void on_idle() override {}
  void on_closed() override { ADD_FAILURE() << "the stand-in closed the daemon's socket"; }
  void on_error(std::exception_ptr) override { ADD_FAILURE() << "the tie failed"; }

  void SetUp() override {
    dir = fs::temp_directory_path() / fs::unique_path("vettd-lite-%%%%%%%%");
    fs::create_directories(dir);
    path = (dir / "vettd.sock").string();
    vettd = std::make_unique<tests::child_process_t>(vettd_lite, std::vector<std::string>{path});
    ASSERT_TRUE(vettd->wait_for_output("vettd-lite: listening on " + path)) << vettd->output();

    scoped_fd_t fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    fw::vettd::tie_t::socket_t socket(io);
    socket.assign(boost::asio::local::stream_protocol(), fd.release());
    fw::vettd::tie_t::inspect_settings_t inspect;
    inspect.http = true;
    tie = std::make_unique<fw::vettd::tie_t>(std::move(socket), inspect, fw::vettd::tie_t::scan_settings_t{30, true, 1, 2, 3, 4, 5}, false);
    tie->start(*this);
  }
  void TearDown() override {
    tie.reset();
    if (vettd) {
      vettd->signal(SIGTERM);
      EXPECT_EQ(vettd->wait(), 0) << vettd->output();
      EXPECT_FALSE(fs::exists(path)); // the stand-in removes its socket
    }
    fs::remove_all(dir);
  }

  // A connection from a client to the server, as the daemon holds it when it was checked, handed over.
  tcp_pair_t hand_over(const std::string &exe) {
    tcp_pair_t p;
    p.client = connect_to(front.get());
    p.client_side = accept_from(front.get());
    p.server_side = connect_to(back.get());
    p.server = accept_from(back.get());
    mv::RuleSet rules;
    rules.add_variable()->set_exe_path(exe);
    rules.add_variable()->set_divert(mv::D_OUTPUT);
    tie->send(rules, scoped_fd_t(::dup(p.server_side.get())), scoped_fd_t(::dup(p.client_side.get())));
    io.poll();
    io.restart();
    // The daemon keeps nothing of a connection it handed over.
    p.client_side.reset();
    p.server_side.reset();
    return p;
  }
};

TEST_F(vettd_lite_test_t, RelaysEachPairBothWaysUntilBothSidesClose) {
  auto first = hand_over("/usr/bin/first");
  auto second = hand_over("/usr/bin/second");
  const std::string line = "vettd-lite: connection 1: 127.0.0.1:" + std::to_string(local_port(first.client.get())) +
                           " -> 127.0.0.1:" + std::to_string(local_port(back.get())) +
                           "; settings: scan_timeout: 30 heuristic_analysis: true packer_max_level: 1 archive_max_level: 2"
                           " mail_max_level: 3 container_max_level: 4 max_compression_ratio: 5 block_unchecked: false"
                           " inspect_http: true inspect_pop3: false inspect_imap: false inspect_smtp: false"
                           " inspect_ftp: false; variables: [exe_path: \"/usr/bin/first\", divert: D_OUTPUT]";
  EXPECT_TRUE(vettd->wait_for_output(line)) << vettd->output();
  EXPECT_TRUE(vettd->wait_for_output("vettd-lite: connection 2: ")) << vettd->output();

  // The second connection works while the first one waits: no connection blocks the relay.
  put(second.client.get(), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(get(second.server.get(), 18), "GET / HTTP/1.0\r\n\r\n");
  const std::string big(1 << 20, 'b'); // more than any socket buffer holds
  std::thread writer([&] { put(second.server.get(), big); });
  EXPECT_EQ(get(second.client.get(), big.size()), big);
  writer.join();

  // A client that stops sending: the server sees the end and may still answer, then closes.
  put(first.client.get(), "ping");
  ASSERT_EQ(::shutdown(first.client.get(), SHUT_WR), 0);
  EXPECT_EQ(get(first.server.get(), 4), "ping");
  EXPECT_TRUE(at_end(first.server.get()));
  put(first.server.get(), "pong");
  first.server.reset();
  EXPECT_EQ(get(first.client.get(), 4), "pong");
  EXPECT_TRUE(at_end(first.client.get()));

  // The server ending first works the same way round.
  second.server.reset();
  EXPECT_TRUE(at_end(second.client.get()));
}

TEST(vettd_lite, PrintsHelp) {
  tests::child_process_t help(vettd_lite, {"--help"});
  EXPECT_EQ(help.wait(), 0);
  EXPECT_NE(help.output().find("Usage: movri-vettd-lite [options] SOCKET"), std::string::npos) << help.output();
}

} // namespace
