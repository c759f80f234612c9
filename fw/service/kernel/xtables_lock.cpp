#include "fw/service/kernel/xtables_lock.hpp"
#include "fw/util/system_error.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include <boost/system/system_error.hpp>

#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {
namespace {

using fw::util::system_error;

} // namespace

xtables_lock_t::xtables_lock_t(const std::string &configured_path) {
  if (!configured_path.empty()) {
    fd_ = lock_file(configured_path);
    return;
  }
  try {
    fd_ = lock_file("/run/xtables.lock");
  } catch (const boost::system::system_error &e) {
    MV_LOG(Debug, "Cannot lock /run/xtables.lock: " + mv::util::exception_message(e));
    fd_ = lock_file("/var/run/xtables.lock");
  }
}

xtables_lock_t::~xtables_lock_t() {
  if (::flock(fd_.get(), LOCK_UN) != 0)
    MV_LOG(Warning, std::string("Cannot unlock iptables lock file: ") + std::strerror(errno));
}

util::scoped_fd_t xtables_lock_t::lock_file(const std::string &path) {
  util::scoped_fd_t fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) throw system_error(errno, "Cannot open file " + path);
  while (::flock(fd.get(), LOCK_EX) != 0)
    if (errno != EINTR) throw system_error(errno, "Cannot lock file " + path);
  return fd;
}

} // namespace fw::service
