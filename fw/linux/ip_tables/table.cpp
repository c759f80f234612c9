#include "fw/linux/ip_tables/table.hpp"

namespace fw::linux::ip_tables {

const char *hook_name(unsigned hook) noexcept {
  static const char *const names[hook_count] = {"PREROUTING", "INPUT", "FORWARD", "OUTPUT", "POSTROUTING"};
  return hook < hook_count ? names[hook] : "";
}

} // namespace fw::linux::ip_tables
