#pragma once

#include <string>
#include <utility>
#include <vector>

namespace fw::lua::intercept {

// The (name, index) pairs of the interfaces that have an IPv4 address, in the kernel's order
// (SIOCGIFCONF, then SIOCGIFINDEX for each). Raises system errors "Cannot open socket", "Cannot get
// ifaces list", "Cannot get iface index", and the runtime error "Amount of network interfaces is more
// than 32768".
std::vector<std::pair<std::string, unsigned>> list_interfaces();

} // namespace fw::lua::intercept
