#pragma once

namespace fw::util {
class module_loader_t;
}

namespace fw::service {

// Whether the kernel can carry the daemon's nftables rules: loads "nft_tproxy", "nft_ct" and
// "nft_queue" in this order and answers true only when all three load. It stops at the first module
// that fails; the failure is not logged (the iptables installer then takes over the mangle rules).
bool nftables_probe(util::module_loader_t &loader);

} // namespace fw::service
