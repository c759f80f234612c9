#include "fw/util/scoped_fd.hpp"

#include <unistd.h>

namespace fw::util {

void scoped_fd_t::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

} // namespace fw::util
