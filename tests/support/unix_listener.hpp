#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>

#include "fw/util/scoped_fd.hpp"

namespace tests {

// A unix-domain stream socket listening at a path, in place of one of the daemon's sibling daemons; the
// test accepts the daemon's connections and plays the peer on them. A stale file at the path is
// replaced; the file is removed on destruction. Failures to set it up throw.
class unix_listener_t {
public:
  explicit unix_listener_t(std::string path, int backlog = 16)
      : path_(std::move(path)), fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    ::unlink(path_.c_str());
    if (::bind(fd_.get(), address(path_), sizeof(sockaddr_un)) != 0 || ::listen(fd_.get(), backlog) != 0)
      throw std::runtime_error("cannot listen at " + path_);
  }
  ~unix_listener_t() { ::unlink(path_.c_str()); }
  unix_listener_t(const unix_listener_t &) = delete;
  unix_listener_t &operator=(const unix_listener_t &) = delete;

  const std::string &path() const noexcept { return path_; }

  // The next connection; an empty descriptor when none comes within the timeout.
  fw::util::scoped_fd_t accept(int timeout_seconds = 10) {
    pollfd p{fd_.get(), POLLIN, 0};
    int n;
    while ((n = ::poll(&p, 1, timeout_seconds * 1000)) < 0 && errno == EINTR) {}
    return fw::util::scoped_fd_t(n > 0 ? ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
  }
  // A connection to the path (blocking, so it waits while the listener's queue is full); an empty
  // descriptor when the connect fails.
  static fw::util::scoped_fd_t connect_to(const std::string &path) {
    fw::util::scoped_fd_t fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), address(path), sizeof(sockaddr_un)) != 0) fd.reset();
    return fd;
  }

private:
  // The socket address of the path (valid until the next call in this thread).
  static const sockaddr *address(const std::string &path) {
    static thread_local sockaddr_un a;
    a = {};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) throw std::runtime_error("socket path too long: " + path);
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    return reinterpret_cast<const sockaddr *>(&a);
  }

  std::string path_;
  fw::util::scoped_fd_t fd_;
};

} // namespace tests
