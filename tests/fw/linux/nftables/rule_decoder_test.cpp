// The rule and chain decoders on crafted payloads (their error texts) and the mark tracker on the
// forms that nft writes.

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "fw/linux/nftables/chain.hpp"
#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/mark_tracker.hpp"
#include "fw/linux/nftables/matches.hpp"
#include "fw/linux/nftables/requests.hpp"
#include "fw/linux/nftables/rule.hpp"
#include "tests/fw/linux/netlink_peer.hpp"
#include "tests/support/error_text.hpp"

namespace nft = fw::linux::nftables;
using namespace fw::linux::nftables::expr;
using tests::netlink::attribute;
using tests::netlink::bytes_t;
using tests::netlink::concat;

namespace {

using tests::error_text;

nft::rule_t decode(const bytes_t &attributes, std::uint8_t family = 2) {
  const bytes_t payload = concat({{family, 0, 0, 0}, attributes});
  return nft::rule_t::decode(payload.data(), payload.size());
}

bytes_t be64(std::uint64_t v) {
  bytes_t out(8);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
  return out;
}

} // namespace

TEST(NftRuleDecoder, ReadsHandlesPositionAndUserData) {
  const nft::rule_t rule = decode(concat({attribute(6, 1, {'t', 0, 0, 0}), attribute(6, 2, {'c', 0, 0, 0}),
                                          attribute(12, 3, be64(7)), attribute(12, 6, be64(5)),
                                          attribute(9, 7, {0, 3, 'a', 'b', 0, 0, 0, 0}),
                                          attribute(8, 99, {1, 2, 3, 4})})); // unknown: ignored
  EXPECT_EQ(rule.family, 2);
  EXPECT_EQ(rule.table, "t");
  EXPECT_EQ(rule.chain, "c");
  EXPECT_EQ(rule.handle, 7u);
  EXPECT_EQ(rule.position, 5u);
  EXPECT_EQ(rule.comment, "ab");
  EXPECT_TRUE(rule.expressions.empty());
  // User data whose first record is not a comment carries none.
  EXPECT_FALSE(decode(attribute(8, 7, {1, 2, 'a', 0})).comment);
}

TEST(NftRuleDecoder, ErrorTexts) {
  EXPECT_EQ(error_text([] { nft::rule_t::decode(reinterpret_cast<const std::uint8_t *>("abc"), 3); }),
            "Cannot parse nfnetlink message: Truncated message");
  EXPECT_EQ(error_text([] { decode(attribute(6, 7, {0, 0, 0, 0})); }), "incorrect comment");
  EXPECT_EQ(error_text([] { decode(attribute(8, 7, {0, 9, 'a', 0})); }), "incorrect comment");
  // A string attribute longer than its string: 4 + 2 + 1 rounds to 8, the attribute to 12.
  EXPECT_EQ(error_text([] { decode(attribute(12, 1, {'a', 'b', 0, 0, 0, 0, 0, 0})); }),
            "parse_route nla is wrong 8 != 12");
  // The expression list holds only elements (type 1).
  EXPECT_EQ(error_text([] { decode(attribute(8, 0x8004, attribute(4, 2))); }), "table_type != atr type");
  // Data nests hold a value (1) or a verdict (2).
  const bytes_t bad_data = concat({attribute(8, 1, {'c', 'm', 'p', 0}),
                                   attribute(16, 0x8002, attribute(12, 0x8003, attribute(8, 5, {0, 0, 0, 0})))});
  EXPECT_EQ(error_text([&] { decode(attribute(4 + 4 + 24, 0x8004, attribute(4 + 24, 0x8001, bad_data))); }),
            "table_type != atr type");
  // A malformed attribute header.
  EXPECT_EQ(error_text([] { decode(attribute(3, 1)); }), "netlink: cannot parse attribute: Invalid header length: 3");
  // An unknown expression keeps its name only.
  const bytes_t log_element = attribute(8, 1, {'l', 'o', 'g', 0});
  const nft::rule_t rule = decode(attribute(16, 0x8004, attribute(12, 0x8001, log_element)));
  ASSERT_EQ(rule.expressions.size(), 1u);
  EXPECT_EQ(rule.expressions[0], expression_t(other_t{"log"}));
}

TEST(NftChainDecoder, BaseAndRegularChains) {
  const auto message = nft::new_chain(nft::family_inet, "filter", "prerouting", 0, -150, "filter");
  const nft::chain_t chain = nft::chain_t::decode(message.bytes().data() + 16, message.size() - 16);
  EXPECT_EQ(chain.family, nft::family_inet);
  EXPECT_EQ(chain.table, "filter");
  EXPECT_EQ(chain.name, "prerouting");
  ASSERT_TRUE(chain.hook);
  EXPECT_EQ(chain.hook->number, 0u);
  EXPECT_EQ(chain.hook->priority, -150);
  EXPECT_EQ(chain.type, "filter");

  const bytes_t regular = concat({{2, 0, 0, 0}, attribute(6, 1, {'t', 0, 0, 0}), attribute(6, 3, {'c', 0, 0, 0})});
  const nft::chain_t plain = nft::chain_t::decode(regular.data(), regular.size());
  EXPECT_FALSE(plain.hook);
  EXPECT_EQ(plain.name, "c");
}

namespace {

std::uint32_t used(std::vector<expression_t> expressions) { return nft::mark_tracker_t::used_marks(expressions); }

std::uint32_t used_by(const std::function<void(nft::rule_builder_t &)> &fill) {
  nft::rule_builder_t rule(nft::family_ipv4, "t", "c", "x");
  fill(rule);
  const auto message = rule.finish();
  return used(nft::rule_t::decode(message.bytes().data() + 16, message.size() - 16).expressions);
}

const expression_t load_mark = meta_t::load(3, 1 + 7);
expression_t masked(std::uint32_t mask, std::uint32_t xor_ = 0) {
  return bitwise_t{8, 8, 4, data_t::of_u32(mask), data_t::of_u32(xor_)};
}
expression_t compare(std::uint32_t value) { return cmp_t{8, 0, data_t::of_u32(value)}; }

} // namespace

TEST(NftMarkTracker, CommonForms) {
  // meta mark & 0x10 == 0x10
  EXPECT_EQ(used({load_mark, masked(0x10), compare(0x10)}), 0x10u);
  // Comparing the whole mark depends on every bit.
  EXPECT_EQ(used({load_mark, compare(0x10)}), 0xFFFFFFFFu);
  // meta mark set mark and not 0x6 xor 0x2 (nft: "meta mark set meta mark & 0xfffffff9 | 0x2")
  EXPECT_EQ(used({load_mark, masked(~0x6u, 0x2), meta_t::set(3, 8)}), 0x6u);
  // meta mark set 0x4 (a constant)
  EXPECT_EQ(used({immediate_t{8, data_t::of_u32(4)}, meta_t::set(3, 8)}), 0x4u);
  // ct mark set meta mark: copying uses no particular bit.
  EXPECT_EQ(used({load_mark, ct_t::set(3, 8)}), 0u);
  // Another expression between load and comparison forgets the mark.
  EXPECT_EQ(used({load_mark, counter_t{}, compare(1)}), 0u);
  EXPECT_EQ(used({meta_t::load(16, 8), compare(6)}), 0u);
  // The daemon's own composite matches and actions.
  EXPECT_EQ(used_by([](auto &r) { nft::matches::mark(r, 0, 0x30); }), 0x30u);
  EXPECT_EQ(used_by([](auto &r) { nft::matches::ctmark(r, 0x10, 0x18, false); }), 0x18u);
  EXPECT_EQ(used_by([](auto &r) { nft::matches::set_mark_bit(r, 0x100); }), 0x100u);
  EXPECT_EQ(used_by([](auto &r) { nft::matches::set_ctmark(r, 0x2, 0xFFFFFFFF); }), 0xFFFFFFFFu);
  EXPECT_EQ(used_by([](auto &r) { nft::matches::tcpflags(r, 0x12, 0x02); }), 0u);
}

TEST(NftMarkTracker, FailuresThatSkipARule) {
  EXPECT_THROW(used({meta_t::load(3, 24)}), std::out_of_range);
  EXPECT_THROW(used({meta_t::set(3, 8)}), std::bad_optional_access);
  EXPECT_EQ(error_text([] { used({immediate_t{8, data_t::of_u32(1)}, masked(1)}); }), "Unexpected index");
  EXPECT_EQ(error_text([] { used({immediate_t{8, data_t::of_u32(1)}, compare(1)}); }), "Unexpected index");
  EXPECT_EQ(error_text([] { used({load_mark, bitwise_t{8, 8, std::nullopt, data_t::of_u32(1), data_t::of_u32(0)}}); }),
            "bitwise_t: support only (exists dreg, sreg, len) in bitwise");
  EXPECT_EQ(error_text([] { used({load_mark, bitwise_t{8, 8, 4, data_t::of_u32(1), std::nullopt}}); }),
            "bitwise_t: rule is incorrect");
  // A bitwise over an empty register forgets everything.
  EXPECT_EQ(used({masked(1), compare(1)}), 0u);
}
