#include "fw/linux/ip_tables/ext_tproxy.hpp"

#include <arpa/inet.h>

#include <cerrno>

#include "fw/linux/ip_tables/raw_socket.hpp"
#include "fw/linux/ip_tables/revision.hpp"

namespace fw::linux::ip_tables {
namespace {
cached_revision_t tproxy_revision(extension_kind_t::target, "TPROXY", 0, 1);
} // namespace

extension_t tproxy_target(in_addr address, std::uint16_t port, std::uint32_t mark_value, std::uint32_t mark_mask) {
  return tproxy_target(tproxy_revision.get(), address, port, mark_value, mark_mask);
}

extension_t tproxy_target(std::uint8_t revision, in_addr address, std::uint16_t port, std::uint32_t mark_value,
                          std::uint32_t mark_mask) {
  const bool v1 = revision >= 1;
  extension_t target("TPROXY", v1 ? 1 : 0, v1 ? 26 : 14);
  target.set_u32(32, mark_mask);
  target.set_u32(36, mark_value);
  target.set_bytes(40, &address, sizeof address);
  target.set_u16(v1 ? 56 : 44, htons(port));
  return target;
}

extension_t tproxy_target(const in6_addr &address, std::uint16_t port, std::uint32_t mark_value,
                          std::uint32_t mark_mask) {
  if (tproxy_revision.get() < 1) throw_system_error(EOPNOTSUPP, "target 'TPROXY'");
  extension_t target("TPROXY", 1, 26);
  target.set_u32(32, mark_mask);
  target.set_u32(36, mark_value);
  target.set_bytes(40, &address, sizeof address);
  target.set_u16(56, htons(port));
  return target;
}

} // namespace fw::linux::ip_tables
