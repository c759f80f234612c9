// Transaction batches: framing, numbering and splitting within the page size, and an error
// acknowledgement from a user-space netlink peer that plays the kernel.

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/header.hpp"
#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/matches.hpp"
#include "fw/linux/nftables/policy/batch_policy.hpp"
#include "fw/linux/nftables/requests.hpp"
#include "tests/support/netlink_peer.hpp"

namespace nft = fw::linux::nftables;
namespace nl = fw::linux::netlink;
using nft::policy::batch_policy_t;

namespace {

// The messages of one batch as (header, offset).
std::vector<nl::header_t> headers(const batch_policy_t::batch_t &batch) {
  std::vector<nl::header_t> result;
  for (std::size_t offset = 0; offset < batch.bytes.size();) {
    result.push_back(nl::header_t::read(batch.bytes.data() + offset));
    offset += nl::align4(result.back().length);
  }
  return result;
}

nft::utils::nft_msg_t sample_rule(std::uint32_t mark) {
  nft::rule_builder_t rule(nft::family_ipv4, "movri-firewall", "output", "movri-firewall");
  nft::matches::mark(rule, mark, mark);
  nft::matches::set_ctmark(rule, mark, 0xFFFFFFFF);
  nft::matches::counter(rule);
  return rule.finish();
}

} // namespace

TEST(NftBatchPolicy, LargeSequencesAreSplitIntoBatchesWithinThePageSize) {
  batch_policy_t policy(4096, 1);
  const std::size_t rule_size = sample_rule(1).size();
  const std::size_t count = 3 * 4096 / rule_size;
  for (std::size_t i = 0; i < count; ++i) policy.add(sample_rule(1u << (i % 32)));
  const auto batches = policy.take();
  ASSERT_GE(batches.size(), 3u);
  std::size_t rules = 0;
  std::uint32_t expected_sequence = 1;
  for (const auto &batch : batches) {
    EXPECT_LE(batch.bytes.size(), 4096u);
    const auto h = headers(batch);
    ASSERT_EQ(h.size(), batch.messages);
    EXPECT_EQ(h.front().type, 0x10);
    EXPECT_EQ(h.back().type, 0x11);
    for (const auto &header : h) EXPECT_EQ(header.sequence, expected_sequence++);
    rules += h.size() - 2;
    if (&batch != &batches.back()) EXPECT_GT(batch.bytes.size() + rule_size, 4096u); // full: the next would not fit
  }
  EXPECT_EQ(rules, count);
}

TEST(NftBatchPolicy, AnErrorAcknowledgementRaisesTheKernelsErrno) {
  tests::netlink::endpoint_t kernel, own;
  const std::uint32_t own_port = own.port;
  nl::socket_t socket(own.take(), kernel.port);
  batch_policy_t policy(4096, 100);
  policy.add(nft::new_table(nft::family_ipv4, "a"));
  kernel.send_to(own_port, tests::netlink::error_message(0, 100));
  kernel.send_to(own_port, tests::netlink::error_message(-ENOENT, 101));
  try {
    policy.send(socket);
    ADD_FAILURE() << "no error";
  } catch (const boost::system::system_error &e) {
    EXPECT_EQ(e.code().value(), ENOENT);
  }
}
