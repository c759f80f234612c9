#pragma once

#include <utility>

namespace fw::util {

// Owns one file descriptor and closes it on destruction. Ownership moves explicitly.
class scoped_fd_t {
public:
  scoped_fd_t() noexcept = default;
  explicit scoped_fd_t(int fd) noexcept : fd_(fd) {}
  scoped_fd_t(scoped_fd_t &&other) noexcept : fd_(other.release()) {}
  scoped_fd_t &operator=(scoped_fd_t &&other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  scoped_fd_t(const scoped_fd_t &) = delete;
  scoped_fd_t &operator=(const scoped_fd_t &) = delete;
  ~scoped_fd_t() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the owned descriptor (if any) and takes ownership of fd.
  void reset(int fd = -1) noexcept;

private:
  int fd_ = -1;
};

} // namespace fw::util
