#include "fw/util/module_loader.hpp"

#include "fw/util/process_runner.hpp"
#include "mv/log/log.hpp"

namespace fw::util {

module_loader_t::module_loader_t(process_runner_t &runner) : runner_(runner) {}

void module_loader_t::load(const std::string &name) {
  runner_.run({"/sbin/modprobe", name});
  MV_LOG(Debug, "Kernel module " + name + " loaded");
}

module_loader_t &module_loader_t::system() {
  static module_loader_t loader(process_runner_t::system());
  return loader;
}

} // namespace fw::util
