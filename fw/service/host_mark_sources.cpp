#include "fw/service/host_mark_sources.hpp"

#include <sys/socket.h>

#include <stdexcept>

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/rtnetlink/routing/message.hpp"
#include "fw/linux/rtnetlink/routing/requests.hpp"

namespace fw::service {
namespace {
// Attributes of routing rules (FRA_FWMARK, FRA_TABLE); a route carries its table under the same type.
constexpr std::uint16_t attribute_fwmark = 10;
constexpr std::uint16_t attribute_table = 15;
} // namespace

std::vector<std::pair<std::uint32_t, std::uint32_t>> host_mark_sources_t::routing_marks() {
  namespace netlink = fw::linux::netlink;
  namespace routing = fw::linux::rtnetlink::routing;

  routing::message_t::header_t header;
  header.family = AF_INET;
  const routing::message_t::bytes_t request = routing::message_t(header).serialise();

  std::vector<std::pair<std::uint32_t, std::uint32_t>> marks;
  netlink::socket_t socket = netlink::socket_t::open(netlink::protocol_route);
  for (const std::uint16_t type : {routing::rtm_getroute, routing::rtm_getrule}) {
    for (const netlink::socket_t::received_t &received : socket.dump(type, request)) {
      if (received.type != routing::rtm_newroute && received.type != routing::rtm_newrule)
        throw std::runtime_error("rtnetlink: Unexpected message");
      const routing::message_t message = routing::message_t::parse(received.payload.data(), received.payload.size());
      const netlink::compound_attribute_t &attributes = message.attributes();
      if (attributes.find_bytes(attribute_table) && attributes.find_bytes(attribute_fwmark))
        marks.emplace_back(attributes.get_u32(attribute_table), attributes.get_u32(attribute_fwmark));
    }
  }
  return marks;
}

std::optional<std::uint32_t> host_mark_sources_t::nftables_marks() {
  // The nftables probe and rule decoder belong to the nftables installer and chain checker; until they
  // provide the marks of other software's rules, nftables rules are treated as not inspectable, as on
  // a host where the probe fails.
  return std::nullopt;
}

} // namespace fw::service
