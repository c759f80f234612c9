#pragma once

#include <string>

#include "fw/util/scoped_fd.hpp"

namespace fw::linux::ip_tables {

// A raw IPv4 socket (AF_INET, SOCK_RAW, IPPROTO_RAW), the handle through which the ip_tables socket
// options are used. Failure raises a system error "Cannot create raw socket".
util::scoped_fd_t open_raw_socket();

// Raises a system error of the system category with this code and text.
[[noreturn]] void throw_system_error(int code, const std::string &what);

} // namespace fw::linux::ip_tables
