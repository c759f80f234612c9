#include "fw/linux/ip_tables/ext_nfqueue.hpp"

#include <algorithm>
#include <stdexcept>

#include "fw/linux/ip_tables/revision.hpp"

namespace fw::linux::ip_tables {
namespace {
cached_revision_t nfqueue_revision(extension_kind_t::target, "NFQUEUE", 0, 3);
} // namespace

extension_t nfqueue_target(std::uint16_t queue, bool bypass) {
  return nfqueue_target(nfqueue_revision.get(), queue, bypass);
}

extension_t nfqueue_target(std::uint8_t revision, std::uint16_t queue, bool bypass) {
  revision = std::min<std::uint8_t>(revision, 3);
  if (bypass && revision < 2) throw std::runtime_error("Cannot set --queue-bypass option: kernel is too old");
  extension_t target("NFQUEUE", revision, 6);
  target.set_u16(32, queue);
  if (revision >= 1) target.set_u16(34, 1);
  if (bypass) target.set_u16(36, 1); // revision 2: bypass = 1; revision 3: flags with the bypass bit
  return target;
}

} // namespace fw::linux::ip_tables
