#include "fw/linux/ip_tables/revision.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <linux/netfilter_ipv4/ip_tables.h>

#include <cerrno>
#include <cstring>

#include "fw/linux/ip_tables/raw_socket.hpp"

namespace fw::linux::ip_tables {

static_assert(sizeof(xt_get_revision) == 30);

std::uint8_t probe_revision(extension_kind_t kind, const std::string &name, std::uint8_t lowest, std::uint8_t highest) {
  const std::string what = (kind == extension_kind_t::match ? "match '" : "target '") + name + "'";
  if (name.size() >= sizeof(xt_get_revision::name)) throw_system_error(ENOENT, what);
  const util::scoped_fd_t fd = open_raw_socket();
  const int option = kind == extension_kind_t::match ? IPT_SO_GET_REVISION_MATCH : IPT_SO_GET_REVISION_TARGET;
  for (int r = highest; r >= lowest; --r) {
    xt_get_revision request{};
    std::memcpy(request.name, name.data(), name.size());
    request.revision = static_cast<std::uint8_t>(r);
    socklen_t length = sizeof request;
    if (::getsockopt(fd.get(), SOL_IP, option, &request, &length) >= 0) return static_cast<std::uint8_t>(r);
    const int error = errno;
    if (error == EPROTONOSUPPORT) continue;
    if (error == ENOENT) throw_system_error(ENOENT, what);
    throw_system_error(error, "getsockopt");
  }
  throw_system_error(EOPNOTSUPP, what);
}

std::uint8_t cached_revision_t::get() {
  if (!revision_) revision_ = probe_revision(kind_, name_, lowest_, highest_);
  return *revision_;
}

} // namespace fw::linux::ip_tables
