// Attribute trees, nfnetlink and routing messages: build -> serialise -> parse, and malformed input.

#include <gtest/gtest.h>

#include <string>

#include "fw/linux/netlink/attribute_view.hpp"
#include "fw/linux/netlink/compound_attribute.hpp"
#include "fw/linux/nfnetlink/message.hpp"
#include "fw/linux/nfnetlink/message_view.hpp"
#include "fw/linux/rtnetlink/routing/message.hpp"
#include "tests/fw/linux/netlink_peer.hpp"
#include "tests/support/error_text.hpp"

using fw::linux::netlink::attribute_view_t;
using fw::linux::netlink::compound_attribute_t;
using tests::netlink::attribute;
using tests::netlink::bytes_t;
using tests::netlink::concat;

namespace {

using tests::error_text;

bytes_t to_vector(std::span<const std::uint8_t> s) { return bytes_t(s.begin(), s.end()); }

} // namespace

TEST(CompoundAttribute, SerialisesInTypeOrderWithCountedPaddingAndRoundTrips) {
  compound_attribute_t tree;
  tree.add_be32(9, 0x01020304);
  auto five = tree.add_bytes(2, 5);
  for (std::size_t i = 0; i < five.size(); ++i) five[i] = static_cast<std::uint8_t>(0xA0 + i);
  auto &nested = tree.add_compound(4);
  nested.add_u32(1, 7);
  nested.add_compound(3).add_string(1, "lo");
  tree.add_bytes(1, 0);

  const bytes_t wire = tree.serialise();
  EXPECT_EQ(wire.size(), tree.serialised_size());
  const bytes_t expected = concat({
      attribute(4, 1),                                                 // empty
      attribute(12, 2, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0, 0, 0}),       // 5 bytes: length 12, 3 zero pad bytes
      attribute(24, 0x8004),                                           // nested, flag set
      attribute(8, 1, {7, 0, 0, 0}),                                   //   host-order u32
      attribute(12, 0x8003),                                           //   nested
      attribute(8, 1, {'l', 'o', 0, 0}),                               //     string with NUL
      attribute(8, 9, {1, 2, 3, 4}),                                   // network-order u32
  });
  EXPECT_EQ(wire, expected);

  const auto parsed = compound_attribute_t::parse(wire.data(), wire.size());
  EXPECT_EQ(parsed.get_be32(9), 0x01020304u);
  EXPECT_EQ(parsed.get_compound(4).get_u32(1), 7u);
  EXPECT_EQ(parsed.get_compound(4).get_compound(3).get_string(1), "lo");
  EXPECT_TRUE(parsed.get_bytes(1).empty());
  // The padding counted in the length comes back as part of the payload.
  EXPECT_EQ(parsed.get_bytes(2).size(), 8u);
  EXPECT_EQ(compound_attribute_t::parse(parsed.serialise().data(), wire.size()).serialise(), wire);
}

TEST(CompoundAttribute, ParsesKernelStyleInputAndReportsMalformedHeaders) {
  // Unpadded length fields, a duplicate (later wins), the byte-order flag masked off, a last attribute
  // without its padding, and trailing bytes shorter than a header.
  const bytes_t input = concat({attribute(5, 3, {1, 0, 0, 0}), attribute(8, 3, {2, 0, 0, 0}),
                                attribute(8, 0x4007, {9, 0, 0, 0}), attribute(6, 8, {0xAB, 0xCD}), {0, 0}});
  const auto tree = compound_attribute_t::parse(input.data(), input.size() - 2);
  EXPECT_EQ(tree.size(), 3u);
  EXPECT_EQ(tree.get_u32(3), 2u);
  EXPECT_EQ(tree.get_u32(7), 9u);
  EXPECT_EQ(to_vector(tree.get_bytes(8)), (bytes_t{0xAB, 0xCD}));

  const bytes_t length3 = attribute(3, 1, {0});
  EXPECT_EQ(error_text([&] { compound_attribute_t::parse(length3.data(), length3.size()); }),
            "netlink: cannot parse attribute: Invalid header length: 3");
  EXPECT_THROW(compound_attribute_t::parse(length3.data(), length3.size()), compound_attribute_t::parse_error_t);
  const bytes_t too_long = attribute(12, 1, {1, 2, 3, 4});
  EXPECT_EQ(error_text([&] { compound_attribute_t::parse(too_long.data(), too_long.size()); }),
            "netlink: cannot parse attribute: Invalid header length: 12");
  // A malformed nested level fails the whole parse.
  const bytes_t bad_nested = concat({attribute(12, 0x8001), attribute(2, 1, {0, 0, 0, 0})});
  EXPECT_THROW(compound_attribute_t::parse(bad_nested.data(), bad_nested.size()), compound_attribute_t::parse_error_t);
}

TEST(CompoundAttribute, NestedFlagAndLookupErrors) {
  const bytes_t input = concat({attribute(12, 0x8005), attribute(8, 1, {1, 0, 0, 0}), attribute(6, 2, {1, 2, 0, 0})});
  const auto tree = compound_attribute_t::parse(input.data(), input.size());
  ASSERT_TRUE(tree.find_compound(5));
  EXPECT_EQ(tree.get_compound(5).get_u32(1), 1u);
  EXPECT_EQ(error_text([&] { tree.get_bytes(5); }), "netlink: Invalid attribute type");
  EXPECT_THROW(tree.find_bytes(5), compound_attribute_t::invalid_attribute_t);
  EXPECT_THROW(tree.get_compound(2), compound_attribute_t::invalid_attribute_t);
  EXPECT_EQ(error_text([&] { tree.get_bytes(6); }), "netlink: 6: No such attribute");
  EXPECT_THROW(tree.get_compound(6), compound_attribute_t::no_such_attribute_t);
  EXPECT_FALSE(tree.find_bytes(6));
  EXPECT_EQ(tree.find_compound(6), nullptr);
  // Too short for the integer asked for.
  EXPECT_THROW(tree.get_u32(2), compound_attribute_t::invalid_attribute_t);
  // All of them are the tree's exceptions and runtime errors.
  EXPECT_THROW(tree.get_bytes(6), compound_attribute_t::exception_t);
  EXPECT_THROW(tree.get_bytes(5), std::runtime_error);
}

TEST(CompoundAttribute, SettersReplaceAndCopiesAreDeep) {
  compound_attribute_t tree;
  tree.add_compound(1).add_u32(2, 3);
  compound_attribute_t copy = tree;
  copy.get_compound(1).add_u32(2, 4);
  EXPECT_EQ(tree.get_compound(1).get_u32(2), 3u);
  EXPECT_FALSE(tree == copy);
  copy.set_bytes(1, bytes_t{1, 2});
  EXPECT_EQ(to_vector(copy.get_bytes(1)), (bytes_t{1, 2}));
  copy.set_compound(1, tree.get_compound(1));
  EXPECT_TRUE(tree == copy);
}

TEST(AttributeView, AgreesWithTheTreeWithoutCopying) {
  const bytes_t input = concat({attribute(5, 3, {1, 0, 0, 0}), attribute(8, 3, {2, 0, 0, 0}),
                                attribute(12, 0x8005), attribute(8, 1, {1, 0, 0, 0}), attribute(6, 8, {0xAB, 0xCD})});
  const auto view = attribute_view_t::parse(input.data(), input.size());
  EXPECT_EQ(view.get_bytes(3).data(), input.data() + 8 + 4); // the second one, in place
  EXPECT_EQ(to_vector(view.get_bytes(8)), (bytes_t{0xAB, 0xCD}));
  EXPECT_EQ(to_vector(view.get_compound(5).get_bytes(1)), (bytes_t{1, 0, 0, 0}));
  EXPECT_EQ(error_text([&] { view.get_bytes(5); }), "netlink: Invalid attribute type");
  EXPECT_EQ(error_text([&] { view.get_bytes(6); }), "netlink: 6: No such attribute");
  EXPECT_FALSE(view.find_bytes(6));
  EXPECT_THROW(view.get_bytes(attribute_view_t::capacity), std::out_of_range);

  const bytes_t length3 = attribute(3, 1, {0});
  EXPECT_EQ(error_text([&] { attribute_view_t::parse(length3.data(), length3.size()); }),
            "netlink: cannot parse attribute: Invalid header length: 3");
  const bytes_t bad_nested = concat({attribute(12, 0x8001), attribute(2, 1, {0, 0, 0, 0})});
  EXPECT_THROW(attribute_view_t::parse(bad_nested.data(), bad_nested.size()), compound_attribute_t::parse_error_t);
}

// Levels nested inside each other, the innermost holding one 4-byte attribute.
bytes_t nested_levels(unsigned levels) {
  bytes_t data = attribute(8, 1, {7, 0, 0, 0});
  for (unsigned i = 0; i < levels; ++i) data = concat({attribute(static_cast<std::uint16_t>(4 + data.size()), 0x8002), data});
  return data;
}

TEST(AttributeNesting, BothReadersFollowThirtyTwoLevelsAndRefuseDeeperOnes) {
  const unsigned limit = fw::linux::netlink::max_attribute_nesting;
  const bytes_t deepest = nested_levels(limit);
  const auto tree = compound_attribute_t::parse(deepest.data(), deepest.size());
  const compound_attribute_t *level = &tree;
  for (unsigned i = 0; i < limit; ++i) level = &level->get_compound(2);
  EXPECT_EQ(level->get_u32(1), 7u);
  EXPECT_NO_THROW(attribute_view_t::parse(deepest.data(), deepest.size()));

  // One level more, and far more (a 64 KiB attribute of nothing but nested headers, which would run
  // the recursive readers off the stack).
  for (const bytes_t &input : {nested_levels(limit + 1), nested_levels(16000)}) {
    EXPECT_EQ(error_text([&] { compound_attribute_t::parse(input.data(), input.size()); }),
              "netlink: cannot parse attribute: Nesting too deep");
    EXPECT_EQ(error_text([&] { attribute_view_t::parse(input.data(), input.size()); }),
              "netlink: cannot parse attribute: Nesting too deep");
  }
}

TEST(NfnetlinkMessage, HeaderInNetworkOrderAndRoundTrip) {
  fw::linux::nfnetlink::message_t message(2, 0x1234);
  message.attributes().add_be32(2, 1);
  const bytes_t wire = message.serialise();
  EXPECT_EQ(wire, concat({{2, 0, 0x12, 0x34}, attribute(8, 2, {0, 0, 0, 1})}));

  const auto parsed = fw::linux::nfnetlink::message_t::parse(wire.data(), wire.size());
  EXPECT_EQ(parsed.family(), 2);
  EXPECT_EQ(parsed.version(), 0);
  EXPECT_EQ(parsed.resource_id(), 0x1234);
  EXPECT_EQ(parsed.raw_resource_id(), htons(0x1234));
  EXPECT_EQ(parsed, message);

  const auto view = fw::linux::nfnetlink::message_view_t::parse(wire.data(), wire.size());
  EXPECT_EQ(view.resource_id(), 0x1234);
  EXPECT_EQ(to_vector(view.attributes().get_bytes(2)), (bytes_t{0, 0, 0, 1}));

  EXPECT_EQ(error_text([&] { fw::linux::nfnetlink::message_t::parse(wire.data(), 3); }),
            "Cannot parse nfnetlink message: Truncated message");
  EXPECT_EQ(error_text([&] { fw::linux::nfnetlink::message_view_t::parse(wire.data(), 3); }),
            "Cannot parse nfnetlink message: Truncated message");
  // A header alone is a message without attributes.
  EXPECT_TRUE(fw::linux::nfnetlink::message_t::parse(wire.data(), 4).attributes().empty());
}

TEST(RoutingMessage, HeaderLayoutAndRoundTrip) {
  using fw::linux::rtnetlink::routing::message_t;
  message_t::header_t header;
  header.family = 2;
  header.dst_len = 24;
  header.src_len = 8;
  header.tos = 1;
  header.table = 100;
  header.protocol = 4;
  header.scope = 254;
  header.type = 2;
  header.flags = 0x01020304;
  message_t message(header);
  message.attributes().add_u32(15, 1000); // table
  const bytes_t wire = message.serialise();
  EXPECT_EQ(wire, concat({{2, 24, 8, 1, 100, 4, 254, 2, 4, 3, 2, 1}, attribute(8, 15, {0xE8, 3, 0, 0})}));
  const auto parsed = message_t::parse(wire.data(), wire.size());
  EXPECT_EQ(parsed, message);
  EXPECT_EQ(parsed.attributes().get_u32(15), 1000u);
  EXPECT_EQ(error_text([&] { message_t::parse(wire.data(), 11); }), "Cannot parse rtnetlink message: Truncated message");
  EXPECT_TRUE(message_t::parse(wire.data(), 12).attributes().empty());
}
