#include "fw/linux/ip_tables/raw_socket.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include <boost/system/system_error.hpp>

namespace fw::linux::ip_tables {

util::scoped_fd_t open_raw_socket(int domain) {
  const int fd = ::socket(domain, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  if (fd < 0) throw_system_error(errno, "Cannot create raw socket");
  return util::scoped_fd_t(fd);
}

} // namespace fw::linux::ip_tables
