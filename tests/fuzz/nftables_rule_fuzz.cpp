// The nftables rule decoder over the nfnetlink payload of a NEWRULE message, as the chain checker and
// the mark scan use it (both skip a rule that raises); a decoded rule, written again, decodes the same.

#include <exception>
#include <string>

#include "fw/linux/nftables/expr/expression.hpp"
#include "fw/linux/nftables/rule.hpp"
#include "fw/service/kernel/nft_chain_checker.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"

namespace {

namespace nft = fw::linux::nftables;

// The payload (nfnetlink header and attributes) of the rule written again.
tests::fuzz::bytes_t rewrite(const nft::rule_t &rule) {
  nft::rule_builder_t builder(rule.family, rule.table.value_or(""), rule.chain.value_or(""), rule.comment.value_or(""),
                              1 << 20);
  for (const auto &expression : rule.expressions) nft::expr::build(builder.message(), expression);
  const auto message = builder.finish();
  const auto bytes = message.bytes();
  return tests::fuzz::bytes_t(bytes.begin() + 16, bytes.end());
}

} // namespace

FUZZ_TARGET(nftables_rule)(const std::uint8_t *data, std::size_t size) {
  nft::rule_t rule;
  try {
    rule = fw::service::nft_chain_checker_t::decode_rule(data, size);
  } catch (const std::exception &) {
    return 0;
  }
  try {
    (void)fw::service::nft_chain_checker_t::used_marks(rule);
  } catch (const std::exception &) {
  }

  // Writing is stable after one round (the first write drops what the builder does not write).
  if (rule.comment && rule.comment->size() + 1 > 128) return 0;
  const auto once = rewrite(rule);
  const nft::rule_t again = nft::rule_t::decode(once.data(), once.size());
  FUZZ_CHECK(again.expressions.size() == rule.expressions.size());
  FUZZ_CHECK(rewrite(again) == once);
  return 0;
}
