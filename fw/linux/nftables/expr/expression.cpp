#include "fw/linux/nftables/expr/expression.hpp"

#include <optional>
#include <string_view>

#include "fw/linux/nftables/attributes.hpp"
#include "fw/linux/nftables/constants.hpp"

namespace fw::linux::nftables::expr {

namespace {

template <class E> bool parse_as(std::string_view name, const std::uint8_t *data, std::size_t length,
                                 std::optional<expression_t> &out) {
  if (name != E::name) return false;
  out = E::parse(data, length);
  return true;
}

} // namespace

expression_t parse_expression(const std::uint8_t *data, std::size_t length) {
  std::optional<std::string> name;
  const std::uint8_t *payload = nullptr;
  std::size_t payload_length = 0;
  attributes::walk(data, length, [&](std::uint16_t type, const std::uint8_t *p, std::size_t n) {
    if (type == expr_attr::name) {
      name = attributes::read_string(p, n);
    } else if (type == expr_attr::data) {
      payload = p;
      payload_length = n;
    }
  });
  if (!name) return other_t{};
  std::optional<expression_t> result;
  parse_as<immediate_t>(*name, payload, payload_length, result) || parse_as<meta_t>(*name, payload, payload_length, result) ||
      parse_as<ct_t>(*name, payload, payload_length, result) || parse_as<bitwise_t>(*name, payload, payload_length, result) ||
      parse_as<cmp_t>(*name, payload, payload_length, result) || parse_as<payload_t>(*name, payload, payload_length, result) ||
      parse_as<counter_t>(*name, payload, payload_length, result) || parse_as<queue_t>(*name, payload, payload_length, result) ||
      parse_as<tproxy_t>(*name, payload, payload_length, result);
  if (!result) return other_t{*name};
  return *result;
}

void build(utils::nft_msg_t &message, const expression_t &expression) {
  std::visit(
      [&](const auto &e) {
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, other_t>) {
          const std::size_t element = message.nest_begin(list_element);
          message.put_string(expr_attr::name, e.name);
          message.nest_end(element);
        } else {
          e.build(message);
        }
      },
      expression);
}

} // namespace fw::linux::nftables::expr
