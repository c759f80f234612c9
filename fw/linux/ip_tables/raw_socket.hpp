#pragma once

#include <string>

#include "fw/util/scoped_fd.hpp"
#include "fw/util/system_error.hpp"

namespace fw::linux::ip_tables {

// A raw IPv4 socket (AF_INET, SOCK_RAW, IPPROTO_RAW), the handle through which the ip_tables socket
// options are used; with AF_INET6 the raw IPv6 socket for the ip6_tables ones. Failure raises a system
// error "Cannot create raw socket".
util::scoped_fd_t open_raw_socket(int domain = 2 /* AF_INET */);

using fw::util::throw_system_error;

} // namespace fw::linux::ip_tables
