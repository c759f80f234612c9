#pragma once

#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include <boost/system/system_error.hpp>

namespace fw::util {

// An errno value as an error code of the system category.
inline boost::system::error_code errno_code(int error = errno) { return {error, boost::system::system_category()}; }

// The system error for an errno value; `what` names the failed step.
inline boost::system::system_error system_error(int error, const std::string &what) {
  return boost::system::system_error(errno_code(error), what);
}

[[noreturn]] inline void throw_system_error(int error, const std::string &what) { throw system_error(error, what); }

// The longest path a unix-domain socket address holds: sun_path less its terminating zero.
constexpr std::size_t max_unix_path_length = sizeof(sockaddr_un::sun_path) - 1;

} // namespace fw::util
