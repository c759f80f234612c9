#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fw/linux/nftables/expr/expression.hpp"
#include "fw/linux/nftables/utils/nft_msg.hpp"

namespace fw::linux::nftables {

// A rule as the kernel reports it (NEWRULE notifications and rule dumps).
struct rule_t {
  std::uint8_t family = 0;
  std::optional<std::string> table;      // 1
  std::optional<std::string> chain;      // 2
  std::optional<std::uint64_t> handle;   // 3
  std::optional<std::uint64_t> position; // 6: the handle of the preceding rule; none for the first
  std::vector<expr::expression_t> expressions; // 4
  std::optional<std::string> comment;    // 7: the comment record of the user data

  // Decodes a message payload (nfnetlink header and attributes). Errors: the nfnetlink "Truncated
  // message", malformed attributes, "table_type != atr type" for a list entry that is not an element,
  // "parse_route nla is wrong ..." for a string whose attribute has the wrong length, "incorrect
  // comment" for a comment record of length 0 or longer than the user data.
  static rule_t decode(const std::uint8_t *payload, std::size_t length);
};

// Writes a NEWRULE message: table, chain, the comment as user data, then the expressions added between
// construction and finish(). Without NLM_F_APPEND the kernel puts the rule at the head of its chain.
class rule_builder_t {
public:
  // A comment longer than 127 bytes raises a runtime error.
  rule_builder_t(std::uint8_t family, std::string_view table, std::string_view chain, std::string_view comment,
                 std::size_t limit = utils::nft_msg_t::default_limit);

  template <class Expression> rule_builder_t &add(const Expression &expression) {
    expression.build(message_);
    return *this;
  }
  utils::nft_msg_t &message() noexcept { return message_; }
  utils::nft_msg_t finish();

private:
  utils::nft_msg_t message_;
  std::size_t expressions_;
};

} // namespace fw::linux::nftables
