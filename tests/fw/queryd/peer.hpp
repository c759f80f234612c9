#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "fw/util/asio_stream_socket_wrapper.hpp"
#include "queryd_client_ipc.pb.h"

namespace tests {

// The QueryD end of a socket pair, played by the test with blocking calls (5-second timeouts); the
// other end becomes a stream on the test's event loop.
class queryd_peer_t {
public:
  queryd_peer_t() = default;
  queryd_peer_t(const queryd_peer_t &) = delete;
  queryd_peer_t &operator=(const queryd_peer_t &) = delete;
  ~queryd_peer_t() { close(); }

  // A new pair; returns the client's end.
  std::unique_ptr<fw::util::stream_socket_t> connect(boost::asio::io_context &io) {
    close();
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    fd_ = fds[1];
    timeval timeout{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    fw::util::asio_stream_socket_wrapper_t::socket_t socket(io);
    socket.assign(boost::asio::local::stream_protocol(), fds[0]);
    return std::make_unique<fw::util::asio_stream_socket_wrapper_t>(std::move(socket));
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void send_bytes(const std::string &payload) {
    std::string frame(4, '\0');
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(payload.size() >> (8 * i));
    frame += payload;
    ASSERT_EQ(::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
  }
  void send(const lp::ServerMessage &m) { send_bytes(m.SerializePartialAsString()); }

  // The next request; nullopt at the end of the stream.
  std::optional<lp::ClientMessage> receive() {
    unsigned char prefix[4];
    const ssize_t n = ::recv(fd_, prefix, 4, MSG_WAITALL);
    if (n == 0) return std::nullopt;
    EXPECT_EQ(n, 4) << "no request within the timeout";
    if (n != 4) return std::nullopt;
    std::string payload(prefix[0] | prefix[1] << 8 | prefix[2] << 16, '\0');
    EXPECT_EQ(::recv(fd_, payload.data(), payload.size(), MSG_WAITALL), static_cast<ssize_t>(payload.size()));
    lp::ClientMessage m;
    EXPECT_TRUE(m.ParseFromString(payload));
    return m;
  }
  std::string receive_text() {
    auto m = receive();
    return m ? m->ShortDebugString() : "<end of stream>";
  }

private:
  int fd_ = -1;
};

} // namespace tests
