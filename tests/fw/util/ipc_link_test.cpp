#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "fw/util/asio_stream_socket_wrapper.hpp"
#include "fw/util/basic_ipc_link.hpp"
#include "tests/support/error_text.hpp"
#include "tests/support/tcp.hpp"

namespace {

using fw::util::ipc_link_t;

struct recorder_t : ipc_link_t::delegate_t {
  std::vector<std::string> messages;
  std::vector<std::exception_ptr> errors;
  std::function<void(const std::string &)> after_message;
  void on_message(const std::uint8_t *data, std::uint32_t size) override {
    messages.emplace_back(reinterpret_cast<const char *>(data), size);
    if (after_message) after_message(messages.back());
  }
  void on_error(std::exception_ptr e) override { errors.push_back(e); }
};

std::string frame(const std::string &payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  std::string out{char(n), char(n >> 8), char(n >> 16), char(n >> 24)};
  return out + payload;
}

void write_all(int fd, const std::string &data) { ASSERT_TRUE(tests::tcp::send_text(fd, data)); }

// A link over one end of a real socket pair; the test plays the peer on the other end.
struct socket_link_t : ::testing::Test {
  boost::asio::io_context io;
  recorder_t delegate;
  int peer = -1;
  std::unique_ptr<ipc_link_t> link;

  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peer = fds[1];
    fw::util::asio_stream_socket_wrapper_t::socket_t socket(io);
    socket.assign(boost::asio::local::stream_protocol(), fds[0]);
    link = std::make_unique<ipc_link_t>(delegate, std::make_unique<fw::util::asio_stream_socket_wrapper_t>(std::move(socket)));
  }
  void TearDown() override {
    link.reset();
    if (peer >= 0) ::close(std::exchange(peer, -1));
  }
  // Runs the loop until the delegate has seen `messages` frames or an error.
  void run_until(std::size_t messages) {
    while (delegate.messages.size() < messages && delegate.errors.empty()) io.run_one();
  }
};

TEST_F(socket_link_t, ReassemblesFramesSplitAnywhereAndGrowsTheBufferOnlyWhenNeeded) {
  const std::string big(5000, 'b');
  const std::string stream = frame("first") + frame(big) + frame("0123456789");
  // Byte by byte through the first frame and the start of the second, then the rest at once.
  for (std::size_t i = 0; i < 12; ++i) {
    write_all(peer, stream.substr(i, 1));
    io.poll();
  }
  write_all(peer, stream.substr(12));
  run_until(3);
  EXPECT_EQ(delegate.messages, (std::vector<std::string>{"first", big, "0123456789"}));
  EXPECT_EQ(link->receive_capacity(), 5000u);
  write_all(peer, frame("x"));
  run_until(4);
  EXPECT_EQ(link->receive_capacity(), 5000u);
}

TEST_F(socket_link_t, RejectsLengthZeroAndLengthAboveSixtyFourMebibytes) {
  for (const std::string &prefix : {std::string(4, '\0'), std::string("\x01\x00\x00\x04", 4) /* 67108865 */}) {
    TearDown();
    SetUp();
    delegate.errors.clear();
    io.restart();
    write_all(peer, prefix);
    run_until(1);
    EXPECT_EQ(tests::text_of(delegate.errors.at(0)), "invalid message size received");
    EXPECT_TRUE(delegate.messages.empty());
  }
}

TEST_F(socket_link_t, TheDelegateMayDestroyTheLinkInsideOnMessage) {
  delegate.after_message = [&](const std::string &) { link.reset(); };
  write_all(peer, frame("one") + frame("two"));
  run_until(1);
  io.run();
  EXPECT_EQ(delegate.messages, std::vector<std::string>{"one"});
  EXPECT_TRUE(delegate.errors.empty());
}

// What the scripted stream saw; it outlives the stream, which the link destroys when it fails.
struct script_t {
  boost::asio::io_context io;
  std::vector<std::vector<std::string>> writes; // the buffers of each write
  fw::util::stream_socket_t::handler_t write_handler;
  bool closed = false;

  void complete(std::size_t n, boost::system::error_code ec = {}) {
    boost::asio::post(io, [h = std::move(write_handler), ec, n] { h(ec, n); });
    io.restart();
    io.poll();
  }
};

// A stream whose writes the test completes by hand, to see exactly what each write carries.
struct scripted_stream_t : fw::util::stream_socket_t {
  script_t &script;
  explicit scripted_stream_t(script_t &script) : script(script) {}
  void async_read_some(const boost::asio::mutable_buffer &, handler_t) override {}
  void async_write_some(const std::vector<boost::asio::const_buffer> &buffers, handler_t handler) override {
    std::vector<std::string> copy;
    for (const auto &b : buffers) copy.emplace_back(static_cast<const char *>(b.data()), b.size());
    script.writes.push_back(copy);
    script.write_handler = std::move(handler);
  }
  void close() override { script.closed = true; }
  boost::asio::any_io_executor get_executor() override { return script.io.get_executor(); }
};

struct scripted_link_t : ::testing::Test {
  script_t script;
  recorder_t delegate;
  std::unique_ptr<ipc_link_t> link;
  void SetUp() override { link = std::make_unique<ipc_link_t>(delegate, std::make_unique<scripted_stream_t>(script)); }
  void send(const std::string &m) {
    auto bytes = std::make_unique<std::uint8_t[]>(m.size());
    std::memcpy(bytes.get(), m.data(), m.size());
    link->send(std::move(bytes), static_cast<std::uint32_t>(m.size()));
  }
};

TEST_F(scripted_link_t, APartialWriteResumesBeforeLaterFrames) {
  send("payload");
  send("next");
  script.complete(4 + 3); // prefix and "pay"
  ASSERT_EQ(script.writes.size(), 2u);
  EXPECT_EQ(script.writes[1], (std::vector<std::string>{"load", frame("next").substr(0, 4), "next"}));
  send("late");
  script.complete(2); // "lo"
  ASSERT_EQ(script.writes.size(), 3u);
  EXPECT_EQ(script.writes[2],
            (std::vector<std::string>{"ad", frame("next").substr(0, 4), "next", frame("late").substr(0, 4), "late"}));
}

} // namespace
