#include "fw/service/kernel/nftables_probe.hpp"

#include <exception>

#include "fw/util/module_loader.hpp"

namespace fw::service {

bool nftables_probe(util::module_loader_t &loader) {
  for (const char *module : {"nft_tproxy", "nft_ct", "nft_queue"}) {
    try {
      loader.load(module);
    } catch (const std::exception &) {
      return false;
    }
  }
  return true;
}

} // namespace fw::service
