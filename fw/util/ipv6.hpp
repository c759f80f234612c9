#pragma once

#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace fw::util {

// Whether the daemon handles IPv6 beside IPv4. IPv6 follows the enabled divert directions unless the
// environment variable COM_MOVRI_IPV6 is "0" or the host has no usable IPv6: IPv6 disabled
// (/proc/sys/net/ipv6/conf/all/disable_ipv6 is 1, or no AF_INET6 sockets), or neither ip6_tables nor
// nftables in the kernel. Decided on the first call; every later call returns the same answer.
bool ipv6_enabled();

// Why IPv6 is off for this process (decided with ipv6_enabled()), or nothing when it is on. The
// ip6tables installer logs it once, at Info level: "IPv6 not handled (" + reason + "): running IPv4 only".
const std::optional<std::string> &ipv6_off_reason();

// The IPv6 transparent listener: the IPv6 loopback [::1] on the port of the (IPv4) transparent endpoint.
boost::asio::ip::tcp::endpoint ipv6_transparent_endpoint(const boost::asio::ip::tcp::endpoint &transparent_endpoint);

} // namespace fw::util
