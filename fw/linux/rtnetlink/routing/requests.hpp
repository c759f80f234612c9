#pragma once

#include <cstdint>
#include <vector>

#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/rtnetlink/routing/message.hpp"

namespace fw::linux::rtnetlink::routing {

// Message types of routes and policy-routing rules.
inline constexpr std::uint16_t rtm_newroute = 24;
inline constexpr std::uint16_t rtm_delroute = 25;
inline constexpr std::uint16_t rtm_getroute = 26;
inline constexpr std::uint16_t rtm_newrule = 32;
inline constexpr std::uint16_t rtm_delrule = 33;
inline constexpr std::uint16_t rtm_getrule = 34;

// Sends one request (rtm_newrule, rtm_delroute, ...) with an acknowledgement and waits for it; the
// kernel's refusal raises a system error "NETLINK error received" with its errno. extra_flags adds
// e.g. NLM_F_CREATE | NLM_F_EXCL to a NEW request.
void execute(netlink::socket_t &socket, std::uint16_t type, const message_t &message, std::uint16_t extra_flags = 0);
// The same on a routing socket of its own.
void execute(std::uint16_t type, const message_t &message, std::uint16_t extra_flags = 0);

// Dumps every object of a kind: rtm_getrule or rtm_getroute with a request message (usually just
// the family set). Returns the parsed messages of the answer; acknowledgements inside it are skipped.
std::vector<message_t> dump(netlink::socket_t &socket, std::uint16_t type, const message_t &request);
// The same on a routing socket of its own, for one address family (AF_INET, ...).
std::vector<message_t> dump(std::uint16_t type, std::uint8_t family);

} // namespace fw::linux::rtnetlink::routing
