#include "fw/util/ipv6.hpp"

#include <sys/socket.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/requests.hpp"
#include "fw/util/scoped_fd.hpp"

namespace fw::util {
namespace {

// ip6_tables is in the kernel (its table list exists) or can be loaded as a module. Nothing is asked of
// the kernel that would create a table.
bool has_ip6_tables() {
  if (::access("/proc/net/ip6_tables_names", F_OK) == 0) return true;
  utsname system{};
  if (::uname(&system) != 0) return false;
  const std::string modules = std::string("/lib/modules/") + system.release + "/";
  for (const char *list : {"modules.dep", "modules.builtin"}) {
    std::ifstream in(modules + list);
    for (std::string line; std::getline(in, line);)
      if (line.find("/ip6_tables.ko") != std::string::npos) return true;
  }
  return false;
}

// nf_tables answers a dump of the IPv6 chains.
bool has_nftables() {
  try {
    namespace nft = fw::linux::nftables;
    fw::linux::netlink::socket_t socket = nft::open_socket();
    nft::dump(socket, nft::dump_chains(nft::family_ipv6));
    return true;
  } catch (const std::exception &) {
    return false;
  }
}

std::optional<std::string> find_off_reason() {
  if (const char *value = std::getenv("COM_MOVRI_IPV6"); value && std::string(value) == "0")
    return std::string("COM_MOVRI_IPV6=0");
  const scoped_fd_t probe(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe) return std::string("no AF_INET6 sockets: ") + std::strerror(errno);
  std::ifstream disabled("/proc/sys/net/ipv6/conf/all/disable_ipv6");
  int flag = 0;
  if (disabled >> flag && flag != 0) return std::string("disabled in /proc/sys/net/ipv6/conf/all/disable_ipv6");
  if (!has_ip6_tables() && !has_nftables()) return std::string("neither ip6_tables nor nftables in the kernel");
  return std::nullopt;
}

} // namespace

const std::optional<std::string> &ipv6_off_reason() {
  static const std::optional<std::string> reason = find_off_reason();
  return reason;
}

bool ipv6_enabled() { return !ipv6_off_reason(); }

boost::asio::ip::tcp::endpoint ipv6_transparent_endpoint(const boost::asio::ip::tcp::endpoint &transparent_endpoint) {
  return {boost::asio::ip::address_v6::loopback(), transparent_endpoint.port()};
}

} // namespace fw::util
