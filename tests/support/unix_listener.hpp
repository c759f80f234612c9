#pragma once

#include <string>

#include "fw/util/scoped_fd.hpp"

namespace tests {

// A unix-domain stream socket listening at a path, in place of one of the daemon's sibling daemons; the
// test accepts the daemon's connections and plays the peer on them. A stale file at the path is
// replaced; the file is removed on destruction.
class unix_listener_t {
public:
  explicit unix_listener_t(std::string path, int backlog = 16);
  ~unix_listener_t();
  unix_listener_t(const unix_listener_t &) = delete;
  unix_listener_t &operator=(const unix_listener_t &) = delete;

  const std::string &path() const noexcept { return path_; }
  int fd() const noexcept { return fd_.get(); }

  // The next connection; an empty descriptor when none comes within the timeout.
  fw::util::scoped_fd_t accept(int timeout_seconds = 10);
  // A connection to the path (blocking, so it waits while the listener's queue is full); an empty
  // descriptor when the connect fails.
  static fw::util::scoped_fd_t connect_to(const std::string &path);
  // Stops listening and leaves the file behind, so that connecting is refused.
  void close() { fd_.reset(); }

private:
  std::string path_;
  fw::util::scoped_fd_t fd_;
};

} // namespace tests
