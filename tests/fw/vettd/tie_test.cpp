// The VettD tie over a socket pair, the test playing VettD.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>

#include <boost/asio/io_context.hpp>

#include "fw/vettd/tie.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/vettd_peer.hpp"

namespace {

using fw::util::scoped_fd_t;
using fw::vettd::tie_t;

// A pipe standing in for one TCP socket: the tie passes on the write end; the read end tells whether
// every copy of the write end is closed (end of file) and which descriptor a received one is.
struct pipe_t {
  scoped_fd_t read, write;
  pipe_t() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    read.reset(fds[0]);
    write.reset(fds[1]);
  }
  // "x" written through fd comes out here.
  bool reached_by(int fd) const {
    if (::write(fd, "x", 1) != 1) return false;
    char c = 0;
    return ::read(read.get(), &c, 1) == 1 && c == 'x';
  }
  bool all_writers_closed() const {
    char c;
    return ::read(read.get(), &c, 1) == 0;
  }
};

struct tie_test_t : ::testing::Test, tie_t::delegate_t {
  boost::asio::io_context io;
  tests::log_capture_t log;
  std::unique_ptr<tie_t> tie;
  std::unique_ptr<tests::vettd_peer_t> vettd;
  std::vector<std::string> events;

  void on_idle() override { events.push_back("idle"); }
  // Like the manager: the tie is destroyed inside both calls.
  void on_closed() override {
    events.push_back("closed");
    tie.reset();
  }
  void on_error(std::exception_ptr) override {
    events.push_back("error");
    tie.reset();
  }

  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    vettd = std::make_unique<tests::vettd_peer_t>(fds[1]);
    // A small send buffer: a large frame needs several sendmsg calls.
    const int size = 4096;
    ASSERT_EQ(::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    tie_t::socket_t socket(io);
    socket.assign(boost::asio::local::stream_protocol(), fds[0]);
    tie_t::inspect_settings_t inspect;
    inspect.pop3 = inspect.ftp = true;
    tie_t::scan_settings_t scan{30, true, 3, 4, 5, 6, 70};
    tie = std::make_unique<tie_t>(std::move(socket), inspect, scan, true);
    tie->start(*this);
  }

  void TearDown() override { tie.reset(); }

  void pump() {
    io.poll();
    io.restart();
  }
  std::optional<tests::vettd_peer_t::frame_t> receive() {
    return vettd->receive([this] { pump(); });
  }
  static mv::RuleSet rules(std::size_t filler = 0) {
    mv::RuleSet r;
    r.add_variable()->set_exe_path("/usr/bin/curl");
    auto *src = r.add_variable()->mutable_src_address();
    src->set_address("10.1.2.3");
    src->set_port(40000);
    if (filler) r.add_variable()->set_url(std::string(filler, 'u'));
    return r;
  }
};

TEST_F(tie_test_t, FrameCarriesTheSettingsTheRuleSetAndBothDescriptorsClientFirst) {
  pipe_t client, server;
  const int c = client.write.get(), s = server.write.get();
  tie->send(rules(), std::move(server.write), std::move(client.write));
  EXPECT_EQ(events, std::vector<std::string>{"idle"}); // everything went out at once
  EXPECT_EQ(log.count_containing("Debug: VettD tie: queued sending of COMPLEMENTARY_CONNECTIONS (c=" + std::to_string(c) +
                       ", s=" + std::to_string(s) + ")"), 1u);

  auto frame = receive();
  ASSERT_TRUE(frame);
  const auto &m = frame->message;
  EXPECT_EQ(m.tag(), vd::ClientMessage::COMPLEMENTARY_CONNECTIONS);
  EXPECT_FALSE(m.has_http_safe_search());
  EXPECT_TRUE(m.has_inspect_http() && m.has_inspect_imap() && m.has_inspect_smtp());
  EXPECT_FALSE(m.inspect_http() || m.inspect_imap() || m.inspect_smtp());
  EXPECT_TRUE(m.inspect_pop3() && m.inspect_ftp() && m.heuristic_analysis() && m.block_unchecked());
  EXPECT_EQ((std::vector<unsigned>{m.scan_timeout(), m.packer_max_level(), m.archive_max_level(), m.mail_max_level(),
                                   m.container_max_level(), m.max_compression_ratio()}),
            (std::vector<unsigned>{30, 3, 4, 5, 6, 70}));
  EXPECT_EQ(m.rule_set().SerializeAsString(), rules().SerializeAsString());
  EXPECT_EQ(log.count_containing("Debug: VettD tie: sent " + std::to_string(4 + m.ByteSizeLong()) + " bytes + descriptors (c=" +
                       std::to_string(c) + ", s=" + std::to_string(s) + ")"), 1u);

  // One SCM_RIGHTS message of 24 bytes with the client's socket, then the server's.
  ASSERT_EQ(frame->fds.size(), 2u);
  EXPECT_EQ(frame->control_lengths, std::vector<std::size_t>{24});
  EXPECT_TRUE(client.reached_by(frame->fds[0].get()));
  EXPECT_TRUE(server.reached_by(frame->fds[1].get()));
  // The daemon kept no copies: once VettD closes its own, the connections are gone.
  frame->fds.clear();
  EXPECT_TRUE(client.all_writers_closed());
  EXPECT_TRUE(server.all_writers_closed());
}

TEST_F(tie_test_t, FullSocketSendsTheRestOfAFrameWithoutDescriptorsAndLaterFramesTakeNewSettings) {
  pipe_t c1, s1, c2, s2;
  tie->send(rules(300000), std::move(s1.write), std::move(c1.write));
  EXPECT_EQ(log.count_containing("Debug: VettD tie: sending would block"), 1u);
  EXPECT_EQ(log.count_containing("Debug: VettD tie: sent "), 1u);
  EXPECT_TRUE(events.empty());

  // Frames queued behind it carry the settings of the moment they were queued.
  tie_t::inspect_settings_t inspect;
  inspect.http = true;
  tie->set_inspect_settings(inspect);
  tie->set_scan_settings(tie_t::scan_settings_t{99, false, 1, 1, 1, 1, 1});
  tie->set_block_unchecked(false);
  tie->send(rules(), std::move(s2.write), std::move(c2.write));
  EXPECT_EQ(tie->queued(), 2u); // the socket took only part of the first

  auto first = receive();
  ASSERT_TRUE(first);
  EXPECT_GT(first->reads, 2u);
  EXPECT_EQ(first->first_read_with_fds, 0u);
  EXPECT_EQ(first->control_lengths.size(), 1u); // one sendmsg with descriptors per frame
  ASSERT_EQ(first->fds.size(), 2u);
  EXPECT_TRUE(c1.reached_by(first->fds[0].get()));
  EXPECT_TRUE(s1.reached_by(first->fds[1].get()));
  const auto &fm = first->message;
  EXPECT_EQ(std::make_tuple(fm.inspect_http(), fm.scan_timeout(), fm.block_unchecked()), std::make_tuple(false, 30u, true));

  auto second = receive();
  ASSERT_TRUE(second);
  ASSERT_EQ(second->fds.size(), 2u);
  EXPECT_EQ(second->control_lengths.size(), 1u);
  EXPECT_TRUE(c2.reached_by(second->fds[0].get()));
  const auto &sm = second->message;
  EXPECT_EQ(std::make_tuple(sm.inspect_http(), sm.scan_timeout(), sm.block_unchecked()), std::make_tuple(true, 99u, false));

  pump();
  EXPECT_EQ(events, std::vector<std::string>{"idle"});
  EXPECT_GE(log.count_containing("Debug: VettD tie: sending would not block"), 1u);
}

} // namespace
