#include "tests/support/tcp.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

namespace tests::tcp {

namespace {

using clock_t_ = std::chrono::steady_clock;

// Waits for the events on fd; false after the deadline.
bool wait_for(int fd, short events, clock_t_::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_t_::now()).count();
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (n >= 0 || errno != EINTR) return n > 0;
  }
}

std::uint16_t port_of(int fd, bool peer) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  const int r = peer ? ::getpeername(fd, reinterpret_cast<sockaddr *>(&a), &length)
                     : ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
  return r == 0 ? ntohs(a.sin_port) : 0;
}

} // namespace

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

fw::util::scoped_fd_t listen_on(std::uint16_t port, int backlog) {
  fw::util::scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const auto a = loopback(port);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a), 0) << std::strerror(errno);
  EXPECT_EQ(::listen(fd.get(), backlog), 0) << std::strerror(errno);
  return fd;
}

fw::util::scoped_fd_t accept_from(int listener, int timeout_seconds) {
  const auto deadline = clock_t_::now() + std::chrono::seconds(timeout_seconds);
  if (!wait_for(listener, POLLIN, deadline)) return fw::util::scoped_fd_t();
  return fw::util::scoped_fd_t(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

fw::util::scoped_fd_t start_connect(std::uint16_t port) {
  fw::util::scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const auto a = loopback(port);
  const int r = ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a);
  EXPECT_TRUE(r == 0 || errno == EINPROGRESS) << std::strerror(errno);
  return fd;
}

connect_outcome_t finish_connect(int fd, int timeout_seconds) {
  const auto deadline = clock_t_::now() + std::chrono::seconds(timeout_seconds);
  if (!wait_for(fd, POLLOUT, deadline)) return connect_outcome_t::timed_out;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return connect_outcome_t::failed;
  if (error == ECONNREFUSED) return connect_outcome_t::refused;
  if (error != 0) return connect_outcome_t::failed;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return connect_outcome_t::established;
}

const char *to_string(connect_outcome_t outcome) {
  static const char *const names[] = {"established", "refused", "timed out", "failed"};
  return names[static_cast<int>(outcome)];
}

bool send_text(int fd, const std::string &text) {
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

fw::util::scoped_fd_t server_side(int client, int listener, const std::string &context) {
  const auto outcome = finish_connect(client);
  EXPECT_EQ(outcome, connect_outcome_t::established) << to_string(outcome) << "\n" << context;
  if (outcome != connect_outcome_t::established) return {};
  fw::util::scoped_fd_t server = accept_from(listener);
  EXPECT_TRUE(server) << "the connection did not arrive at the server\n" << context;
  return server;
}

void expect_exchange(int client, int server_side) {
  EXPECT_TRUE(send_text(client, "hello"));
  EXPECT_EQ(receive(server_side, 5), "hello");
  EXPECT_TRUE(send_text(server_side, "world"));
  EXPECT_EQ(receive(client, 5), "world");
}

std::string receive(int fd, std::size_t size, int timeout_seconds) {
  const auto deadline = clock_t_::now() + std::chrono::seconds(timeout_seconds);
  std::string bytes;
  while (bytes.size() < size && wait_for(fd, POLLIN, deadline)) {
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, size - bytes.size()), MSG_DONTWAIT);
    if (n > 0) bytes.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
  }
  return bytes;
}

bool ends(int fd, int timeout_seconds) {
  const auto deadline = clock_t_::now() + std::chrono::seconds(timeout_seconds);
  for (char buffer[4096]; wait_for(fd, POLLIN, deadline);) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
  }
  return false;
}

std::uint16_t local_port(int fd) { return port_of(fd, false); }
std::uint16_t peer_port(int fd) { return port_of(fd, true); }

} // namespace tests::tcp
