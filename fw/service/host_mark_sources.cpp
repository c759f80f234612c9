#include "fw/service/host_mark_sources.hpp"

#include <sys/socket.h>

#include <stdexcept>

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/requests.hpp"
#include "fw/linux/rtnetlink/routing/message.hpp"
#include "fw/linux/rtnetlink/routing/requests.hpp"
#include "fw/service/nft_chain_checker.hpp"
#include "fw/service/nftables_probe.hpp"
#include "fw/util/ipv6.hpp"
#include "fw/util/module_loader.hpp"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {
namespace {
// Attributes of routing rules (FRA_FWMARK, FRA_TABLE); a route carries its table under the same type.
constexpr std::uint16_t attribute_fwmark = 10;
constexpr std::uint16_t attribute_table = 15;
} // namespace

host_mark_sources_t::host_mark_sources_t() : module_loader_(util::module_loader_t::system()) {}
host_mark_sources_t::host_mark_sources_t(util::module_loader_t &module_loader) : module_loader_(module_loader) {}

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
  namespace netlink = fw::linux::netlink;
  namespace nft = fw::linux::nftables;
  if (!nftables_probe(module_loader_)) return std::nullopt;
  std::uint32_t used = 0;
  std::vector<std::uint8_t> families{nft::family_ipv4};
  if (util::ipv6_enabled()) families.push_back(nft::family_ipv6);
  for (const std::uint8_t family : families) {
    netlink::socket_t socket = nft::open_socket();
    for (const netlink::socket_t::received_t &received : nft::dump(socket, nft::dump_rules(family))) {
      if (received.type != nft::full_type(nft::msg_newrule)) continue;
      try {
        const nft::rule_t rule = nft_chain_checker_t::decode_rule(received.payload.data(), received.payload.size());
        if (rule.comment == nft_own_name) continue;
        used |= nft_chain_checker_t::used_marks(rule);
      } catch (const std::exception &e) {
        MV_LOG(Debug, "skip rule because: " + mv::util::exception_message(e));
      }
    }
  }
  return used;
}

} // namespace fw::service
