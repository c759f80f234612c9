#include "fw/linux/nftables/rule.hpp"

#include <stdexcept>

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/nfnetlink/message.hpp"
#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/constants.hpp"

namespace fw::linux::nftables {

namespace {

// The user data is a list of records (type byte, length byte, value); a first record of type 0 is the
// comment, with its terminating zero.
std::optional<std::string> comment_of(const std::uint8_t *data, std::size_t length) {
  if (length < 2 || data[0] != udata_comment) return std::nullopt;
  const std::size_t size = data[1];
  if (size == 0 || size > length - 2) throw std::runtime_error("incorrect comment");
  const std::uint8_t *text = data + 2;
  std::size_t text_length = size - 1;
  if (text[size - 1] != 0) text_length = size; // not terminated: keep every byte
  return std::string(reinterpret_cast<const char *>(text), text_length);
}

} // namespace

rule_t rule_t::decode(const std::uint8_t *payload, std::size_t length) {
  if (length < utils::nft_msg_t::nfgen_header_size) throw nfnetlink::message_t::parse_error_t("Truncated message");
  rule_t rule;
  rule.family = payload[0];
  attributes::walk(payload + 4, length - 4, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    switch (type) {
    case rule_attr::table: rule.table = attributes::read_string(p, n); break;
    case rule_attr::chain: rule.chain = attributes::read_string(p, n); break;
    case rule_attr::handle: rule.handle = attributes::read_be64(p, n); break;
    case rule_attr::position: rule.position = attributes::read_be64(p, n); break;
    case rule_attr::userdata: rule.comment = comment_of(p, n); break;
    case rule_attr::expressions:
      attributes::walk(p, n, [&](std::uint16_t element, const std::uint8_t *q, std::size_t m) {
        attributes::expect_type(element, list_element);
        rule.expressions.push_back(expr::parse_expression(q, m));
      });
      break;
    default: break;
    }
  });
  return rule;
}

rule_builder_t::rule_builder_t(std::uint8_t family, std::string_view table, std::string_view chain,
                               std::string_view comment, std::size_t limit)
    : message_(msg_newrule, netlink::f_create, family, limit) {
  if (comment.size() + 1 > 128) throw std::runtime_error("nftables: rule comment too long");
  message_.put_string(rule_attr::table, table);
  message_.put_string(rule_attr::chain, chain);
  std::vector<std::uint8_t> userdata{udata_comment, static_cast<std::uint8_t>(comment.size() + 1)};
  userdata.insert(userdata.end(), comment.begin(), comment.end());
  userdata.push_back(0);
  message_.put(rule_attr::userdata, userdata.data(), userdata.size());
  expressions_ = message_.nest_begin(rule_attr::expressions);
}

utils::nft_msg_t rule_builder_t::finish() {
  message_.nest_end(expressions_);
  return message_;
}

} // namespace fw::linux::nftables
