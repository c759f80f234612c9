#pragma once

#include <string>

#include "fw/util/scoped_fd.hpp"

namespace fw::linux::ip_tables {

// A raw IPv4 socket (AF_INET, SOCK_RAW, IPPROTO_RAW), the handle through which the ip_tables socket
// options are used; with AF_INET6 the raw IPv6 socket for the ip6_tables ones. Failure raises a system
// error "Cannot create raw socket".
util::scoped_fd_t open_raw_socket(int domain = 2 /* AF_INET */);

// Raises a system error of the system category with this code and text.
[[noreturn]] void throw_system_error(int code, const std::string &what);

} // namespace fw::linux::ip_tables
