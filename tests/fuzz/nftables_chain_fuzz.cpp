// The nftables chain decoder over the kernel's answer to a chain request (the nfnetlink payload of a
// NEWCHAIN message), and the rule the chain checker builds for a decoded base chain. The checker logs
// and skips whatever raises.

#include <exception>

#include "fw/linux/nftables/chain.hpp"
#include "fw/linux/nftables/policy/batch_policy.hpp"
#include "fw/service/kernel/nft_chain_checker.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"

FUZZ_TARGET(nftables_chain)(const std::uint8_t *data, std::size_t size) {
  namespace nft = fw::linux::nftables;
  nft::chain_t chain;
  try {
    chain = fw::service::nft_chain_checker_t::decode_chain(data, size);
  } catch (const std::exception &) {
    return 0;
  }
  FUZZ_CHECK(size >= 4 && chain.family == data[0]);
  try {
    nft::policy::batch_policy_t batch;
    const bool added = fw::service::nft_chain_checker_t::add_fix_rule(batch, chain, chain.family, 1);
    FUZZ_CHECK(!added || (chain.hook && chain.table && chain.name));
    FUZZ_CHECK(added != batch.empty());
  } catch (const std::exception &) {
  }
  return 0;
}
