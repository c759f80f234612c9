#include "tests/support/unix_listener.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <gtest/gtest.h>

namespace tests {

unix_listener_t::unix_listener_t(std::string path, int backlog)
    : path_(std::move(path)), fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  ::unlink(path_.c_str());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  EXPECT_LT(path_.size(), sizeof address.sun_path) << path_;
  path_.copy(address.sun_path, sizeof address.sun_path - 1);
  EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << std::strerror(errno);
  EXPECT_EQ(::listen(fd_.get(), backlog), 0) << std::strerror(errno);
}

unix_listener_t::~unix_listener_t() { ::unlink(path_.c_str()); }

fw::util::scoped_fd_t unix_listener_t::accept(int timeout_seconds) {
  pollfd p{fd_.get(), POLLIN, 0};
  int n;
  do
    n = ::poll(&p, 1, timeout_seconds * 1000);
  while (n < 0 && errno == EINTR);
  if (n <= 0) return fw::util::scoped_fd_t();
  return fw::util::scoped_fd_t(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

fw::util::scoped_fd_t unix_listener_t::connect_to(const std::string &path) {
  fw::util::scoped_fd_t fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) fd.reset();
  return fd;
}

} // namespace tests
