#include "fw/lua/intercept/interfaces.hpp"
#include "fw/util/system_error.hpp"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <boost/system/system_error.hpp>

#include "fw/util/scoped_fd.hpp"

namespace fw::lua::intercept {

namespace {

using fw::util::throw_system_error;

} // namespace

std::vector<std::pair<std::string, unsigned>> list_interfaces() {
  fw::util::scoped_fd_t fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) throw_system_error(errno, "Cannot open socket");

  // The kernel fills at most the room given; an answer that fills it exactly may have been cut short.
  constexpr int attempts = 10;
  std::vector<ifreq> entries;
  std::size_t count = 0;
  std::size_t room = 64;
  for (int attempt = 0;; ++attempt, room *= 2) {
    entries.assign(room, ifreq{});
    ifconf request{};
    request.ifc_len = static_cast<int>(room * sizeof(ifreq));
    request.ifc_req = entries.data();
    if (::ioctl(fd.get(), SIOCGIFCONF, &request) != 0) throw_system_error(errno, "Cannot get ifaces list");
    count = static_cast<std::size_t>(request.ifc_len) / sizeof(ifreq);
    if (count < room) break;
    if (attempt + 1 == attempts)
      throw std::runtime_error("Amount of network interfaces is more than " + std::to_string(room));
  }

  std::vector<std::pair<std::string, unsigned>> result;
  result.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    ifreq request{};
    std::memcpy(request.ifr_name, entries[i].ifr_name, IFNAMSIZ);
    request.ifr_name[IFNAMSIZ - 1] = '\0';
    if (::ioctl(fd.get(), SIOCGIFINDEX, &request) != 0) throw_system_error(errno, "Cannot get iface index");
    result.emplace_back(request.ifr_name, static_cast<unsigned>(request.ifr_ifindex));
  }
  return result;
}

} // namespace fw::lua::intercept
