#pragma once

#include <string>

#include "fw/util/scoped_fd.hpp"

namespace fw::service {

// The host-wide lock that the iptables tools take around every table change, held for the lifetime
// of the object: an exclusive flock on the configured file, or else on "/run/xtables.lock" and, when
// that cannot be locked, "/var/run/xtables.lock". Waits as long as another holder keeps it.
class xtables_lock_t {
public:
  // configured_path: the configured lock file; empty for the defaults. System errors "Cannot open
  // file " + path, "Cannot lock file " + path.
  explicit xtables_lock_t(const std::string &configured_path);
  xtables_lock_t(const xtables_lock_t &) = delete;
  xtables_lock_t &operator=(const xtables_lock_t &) = delete;
  // Unlocks; a failure is logged, the file is closed in any case.
  ~xtables_lock_t();

private:
  static util::scoped_fd_t lock_file(const std::string &path);

  util::scoped_fd_t fd_;
};

} // namespace fw::service
