#include "fw/linux/rtnetlink/routing/requests.hpp"

#include "fw/linux/netlink/constants.hpp"

namespace fw::linux::rtnetlink::routing {

void execute(netlink::socket_t &socket, std::uint16_t type, const message_t &message, std::uint16_t extra_flags) {
  socket.request(type, message.serialise(), extra_flags);
}

void execute(std::uint16_t type, const message_t &message, std::uint16_t extra_flags) {
  auto socket = netlink::socket_t::open(netlink::protocol_route);
  execute(socket, type, message, extra_flags);
}

std::vector<message_t> dump(netlink::socket_t &socket, std::uint16_t type, const message_t &request) {
  std::vector<message_t> result;
  for (const auto &entry : socket.dump(type, request.serialise()))
    if (entry.type != netlink::msg_error) result.push_back(message_t::parse(entry.payload.data(), entry.payload.size()));
  return result;
}

std::vector<message_t> dump(std::uint16_t type, std::uint8_t family) {
  auto socket = netlink::socket_t::open(netlink::protocol_route);
  message_t request;
  request.header().family = family;
  return dump(socket, type, request);
}

} // namespace fw::linux::rtnetlink::routing
