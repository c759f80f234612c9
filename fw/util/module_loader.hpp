#pragma once

#include <string>

namespace fw::util {

class process_runner_t;

// Loads kernel modules with "/sbin/modprobe". The rule installers load table and expression modules
// on demand; tests replace the loader (or its runner) to act out hosts with other kernels.
class module_loader_t {
public:
  explicit module_loader_t(process_runner_t &runner);
  module_loader_t(const module_loader_t &) = delete;
  module_loader_t &operator=(const module_loader_t &) = delete;
  virtual ~module_loader_t() = default;

  // Runs "/sbin/modprobe" name; logs "Kernel module " + name + " loaded" at debug level on success and
  // raises the runner's error otherwise.
  virtual void load(const std::string &name);

  // The process-wide loader over the real process runner.
  static module_loader_t &system();

private:
  process_runner_t &runner_;
};

} // namespace fw::util
