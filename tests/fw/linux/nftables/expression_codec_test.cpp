// Every expression built into a rule message and decoded back, the nested data forms, and the exact
// bytes of the queue rule (this kernel cannot accept it, so its encoding is checked byte for byte).

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/matches.hpp"
#include "fw/linux/nftables/rule.hpp"

namespace nft = fw::linux::nftables;
using namespace fw::linux::nftables::expr;

namespace {

nft::rule_t decode(const fw::linux::nftables::utils::nft_msg_t &message) {
  return nft::rule_t::decode(message.bytes().data() + 16, message.size() - 16);
}

template <class E> void expect_round_trip(const E &expression) {
  nft::rule_builder_t builder(nft::family_ipv4, "t", "c", "note");
  builder.add(expression);
  const nft::rule_t rule = decode(builder.finish());
  ASSERT_EQ(rule.expressions.size(), 1u);
  EXPECT_EQ(rule.expressions[0], expression_t(expression)) << E::name;
}

} // namespace

TEST(NftExpressionCodec, EveryKindRoundTrips) {
  expect_round_trip(immediate_t{10, data_t::of_u32(0x12345678)});
  expect_round_trip(immediate_t{0, data_t::of_verdict(nft::verdict_accept)});
  data_t jump = data_t::of_verdict(static_cast<std::uint32_t>(-3));
  jump.chain = "elsewhere";
  expect_round_trip(immediate_t{0, jump});
  expect_round_trip(meta_t::load(nft::meta_mark, 10));
  expect_round_trip(meta_t::set(nft::meta_mark, 11));
  expect_round_trip(ct_t::load(nft::ct_mark, 10));
  expect_round_trip(ct_t::set(nft::ct_mark, 10));
  expect_round_trip(bitwise_t{10, 11, 4, data_t::of_u32(0xFF00), data_t::of_u32(0x10)});
  expect_round_trip(bitwise_t{9, 9, 1, data_t::of_bytes({0x12}), data_t::of_bytes({0})});
  expect_round_trip(cmp_t{10, nft::cmp_neq, data_t::of_u32(6)});
  expect_round_trip(payload_t{9, nft::payload_transport, 13, 1});
  expect_round_trip(counter_t{});
  expect_round_trip(counter_t{100, 2});
  expect_round_trip(queue_t{7, nft::queue_bypass});
  expect_round_trip(tproxy_t{10, nft::family_ipv4, 11});
  // Partial expressions keep exactly what they carry.
  expect_round_trip(bitwise_t{10, std::nullopt, std::nullopt, std::nullopt, data_t::of_u32(1)});
  expect_round_trip(immediate_t{});
}

TEST(NftExpressionCodec, QueueRuleBytes) {
  nft::rule_builder_t builder(nft::family_ipv4, "movri-firewall", "input", "movri-firewall");
  nft::matches::counter(builder);
  nft::matches::queue(builder, 0x0102);
  const auto message = builder.finish();
  const std::vector<std::uint8_t> expected = {
      // netlink header: length 136, type NEWRULE of nftables, flags create|ack|request, sequence 0, port 0
      136, 0, 0, 0, 0x06, 0x0A, 0x05, 0x04, 0, 0, 0, 0, 0, 0, 0, 0,
      // nfnetlink header: family ip, version 0, resource id 0
      2, 0, 0, 0,
      // table "movri-firewall" (attribute length 4 + 15, padded to 20)
      19, 0, 1, 0, 'm', 'o', 'v', 'r', 'i', '-', 'f', 'i', 'r', 'e', 'w', 'a', 'l', 'l', 0, 0,
      // chain "input"
      10, 0, 2, 0, 'i', 'n', 'p', 'u', 't', 0, 0, 0,
      // user data: comment record, length 15
      21, 0, 7, 0, 0, 15, 'm', 'o', 'v', 'r', 'i', '-', 'f', 'i', 'r', 'e', 'w', 'a', 'l', 'l', 0, 0, 0, 0,
      // expression list (nested)
      60, 0, 4, 0x80,
      //   element "counter" with empty data
      20, 0, 1, 0x80, 12, 0, 1, 0, 'c', 'o', 'u', 'n', 't', 'e', 'r', 0, 4, 0, 2, 0x80,
      //   element "queue": number 0x0102 and flags bypass, both u16 in network order
      36, 0, 1, 0x80, 10, 0, 1, 0, 'q', 'u', 'e', 'u', 'e', 0, 0, 0, 20, 0, 2, 0x80,
      6, 0, 1, 0, 0x01, 0x02, 0, 0, 6, 0, 3, 0, 0x00, 0x01, 0, 0,
  };
  ASSERT_EQ(message.size(), expected.size());
  EXPECT_EQ(std::vector<std::uint8_t>(message.bytes().begin(), message.bytes().end()), expected);
}
