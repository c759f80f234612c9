// The ip_tables codec's blob form, without the kernel: structure, corrupt blobs, model faults and the
// extension layouts.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "fw/linux/ip_tables/codec.hpp"
#include "fw/linux/ip_tables/ext_comment.hpp"
#include "fw/linux/ip_tables/ext_mark.hpp"
#include "fw/linux/ip_tables/ext_nfqueue.hpp"
#include "fw/linux/ip_tables/ext_tcp.hpp"
#include "fw/linux/ip_tables/ext_tproxy.hpp"
#include "tests/support/error_text.hpp"

namespace ipt = fw::linux::ip_tables;

namespace {

struct entry_view_t {
  std::uint32_t offset, target_offset, next_offset;
};

std::uint32_t u32_at(const std::vector<std::uint8_t> &b, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

std::int32_t verdict_at(const std::vector<std::uint8_t> &b, const entry_view_t &e) {
  return static_cast<std::int32_t>(u32_at(b, e.offset + e.target_offset + 32));
}

std::vector<entry_view_t> walk(const std::vector<std::uint8_t> &b) {
  std::vector<entry_view_t> entries;
  for (std::uint32_t o = 0; o < b.size();) {
    std::uint16_t t, n;
    std::memcpy(&t, b.data() + o + 88, 2);
    std::memcpy(&n, b.data() + o + 90, 2);
    entries.push_back({o, t, n});
    o += n;
  }
  return entries;
}

// An extension block of exactly 32 + data_size bytes with patterned data, as some foreign tool's.
ipt::extension_t foreign(const char *name, std::size_t data_size) {
  std::vector<std::uint8_t> bytes(32 + data_size, 0);
  for (std::size_t i = 32; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  std::memcpy(bytes.data() + 2, name, std::strlen(name));
  bytes[0] = static_cast<std::uint8_t>(bytes.size());
  return ipt::extension_t(std::move(bytes));
}

// INPUT: a counted rule jumping to "user"; FORWARD: empty with policy DROP; OUTPUT: a rule without
// target, a rule with a foreign match and target; user chains "empty" and "user" (one RETURN rule).
ipt::table_t sample() {
  ipt::table_t t;
  ipt::rule_t jump;
  jump.set_target(ipt::jump_t{"user"});
  jump.counters = {7, 700};
  t.builtin_chains[ipt::hook_input].rules.push_back(jump);
  t.builtin_chains[ipt::hook_input].policy_counters = {3, 300};
  t.builtin_chains[ipt::hook_forward].policy = ipt::verdict_t::drop;
  t.builtin_chains[ipt::hook_output].rules.push_back(ipt::rule_t().set_protocol(IPPROTO_TCP));
  t.builtin_chains[ipt::hook_output].rules.push_back(
      ipt::rule_t().append_match(foreign("helper", 16)).set_target(foreign("LOG", 24)));
  t.user_chains["empty"];
  t.user_chains["user"].rules.push_back(ipt::rule_t().set_target(ipt::verdict_t::ret));
  return t;
}

void expect_parse_fault(const ipt::blob_t &blob, const char *what) {
  try {
    ipt::parse_table(blob);
    ADD_FAILURE() << what << ": parsed";
  } catch (const boost::system::system_error &e) {
    EXPECT_EQ(e.code().value(), EINVAL) << what;
    EXPECT_TRUE(std::string(e.what()).starts_with("Cannot parse IP table blob")) << what << ": " << e.what();
  }
}

std::string runtime_error_text(const std::function<void()> &f) {
  return tests::error_text(f);
}

} // namespace

TEST(IpTablesBlob, SerialisesTheKernelLayoutAndParsesItBack) {
  const ipt::table_t table = sample();
  const ipt::blob_t blob = ipt::serialise_table(table);
  const auto e = walk(blob.entries);
  // INPUT rule, policy; FORWARD policy; OUTPUT two rules, policy; "empty" head, tail; "user" head,
  // rule, tail; closing.
  ASSERT_EQ(e.size(), 12u);
  EXPECT_EQ(blob.num_entries, 12u);
  EXPECT_EQ(blob.valid_hooks, 0b1110u);
  EXPECT_EQ(blob.hook_entry[ipt::hook_input], 0u);
  EXPECT_EQ(blob.underflow[ipt::hook_input], e[1].offset);
  EXPECT_EQ(blob.hook_entry[ipt::hook_forward], e[2].offset);
  EXPECT_EQ(blob.underflow[ipt::hook_forward], e[2].offset);
  EXPECT_EQ(verdict_at(blob.entries, e[2]), -1); // DROP
  // A rule without target continues at the next entry.
  EXPECT_EQ(verdict_at(blob.entries, e[3]), static_cast<std::int32_t>(e[4].offset));
  EXPECT_EQ(e[4].target_offset, 112u + 48u);
  EXPECT_EQ(e[4].next_offset, 112u + 48u + 56u);
  // An empty user chain is a 64-byte ERROR head directly followed by its RETURN tail.
  EXPECT_EQ(e[6].next_offset, 176u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(blob.entries.data() + e[6].offset + 112 + 32)), "empty");
  EXPECT_EQ(verdict_at(blob.entries, e[7]), -5);
  // A jump goes to the first entry after the chain's head, as the kernel and the iptables tools expect.
  EXPECT_EQ(verdict_at(blob.entries, e[0]), static_cast<std::int32_t>(e[9].offset));
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(blob.entries.data() + e[11].offset + 112 + 32)), "ERROR");

  EXPECT_EQ(ipt::parse_table(blob), table);
  const std::vector<ipt::counters_t> counters = ipt::collect_counters(table);
  ASSERT_EQ(counters.size(), 12u);
  EXPECT_EQ(counters[0], (ipt::counters_t{7, 700}));
  EXPECT_EQ(counters[1], (ipt::counters_t{3, 300}));
  for (std::size_t i = 2; i < counters.size(); ++i) EXPECT_EQ(counters[i], ipt::counters_t{}) << i;
}

TEST(IpTablesBlob, BlocksArePaddedToMultiplesOfEight) {
  ipt::table_t table;
  table.builtin_chains[ipt::hook_output].rules.push_back(
      ipt::rule_t().append_match(foreign("helper", 12)).set_target(foreign("LOG", 20)));
  const ipt::blob_t blob = ipt::serialise_table(table);
  const auto e = walk(blob.entries);
  EXPECT_EQ(e[0].target_offset, 112u + 48u);
  EXPECT_EQ(e[0].next_offset, 112u + 48u + 56u);
  const ipt::rule_t read = ipt::parse_table(blob).builtin_chains.at(ipt::hook_output).rules.at(0);
  EXPECT_EQ(read.matches.at(0).u16(0), 48u);
  EXPECT_EQ(read.matches.at(0).u32(40), table.builtin_chains[ipt::hook_output].rules[0].matches[0].u32(40));
  EXPECT_EQ(std::get<ipt::extension_t>(read.target).u16(0), 56u);
}

TEST(IpTablesBlob, AcceptsAJumpToTheChainHeadItself) {
  ipt::blob_t blob = ipt::serialise_table(sample());
  const auto e = walk(blob.entries);
  const std::int32_t head = static_cast<std::int32_t>(e[8].offset);
  std::memcpy(blob.entries.data() + e[0].offset + e[0].target_offset + 32, &head, 4);
  EXPECT_EQ(ipt::parse_table(blob), sample());
}

TEST(IpTablesBlob, CorruptBlobsAreRefused) {
  const ipt::blob_t good = ipt::serialise_table(sample());
  const auto e = walk(good.entries);
  const auto corrupt = [&](const char *what, const std::function<void(ipt::blob_t &)> &change) {
    ipt::blob_t blob = good;
    change(blob);
    expect_parse_fault(blob, what);
  };
  const auto set_u16 = [](ipt::blob_t &b, std::size_t at, std::uint16_t v) { std::memcpy(b.entries.data() + at, &v, 2); };
  const auto set_verdict = [&](ipt::blob_t &b, const entry_view_t &x, std::int32_t v) {
    std::memcpy(b.entries.data() + x.offset + x.target_offset + 32, &v, 4);
  };

  corrupt("empty", [](ipt::blob_t &b) { b.entries.clear(); });
  corrupt("truncated", [](ipt::blob_t &b) { b.entries.resize(b.entries.size() - 8); });
  corrupt("without closing entry", [&](ipt::blob_t &b) { b.entries.resize(e[11].offset); });
  corrupt("next offset 0", [&](ipt::blob_t &b) { set_u16(b, e[3].offset + 90, 0); });
  corrupt("target offset inside the entry header", [&](ipt::blob_t &b) { set_u16(b, e[3].offset + 88, 100); });
  corrupt("match larger than its room", [&](ipt::blob_t &b) { set_u16(b, e[4].offset + 112, 200); });
  corrupt("target larger than its room", [&](ipt::blob_t &b) { set_u16(b, e[4].offset + e[4].target_offset, 64); });
  corrupt("unknown verdict", [&](ipt::blob_t &b) { set_verdict(b, e[3], -3); });
  corrupt("jump into a built-in chain", [&](ipt::blob_t &b) { set_verdict(b, e[0], static_cast<std::int32_t>(e[3].offset)); });
  corrupt("jump between entries", [&](ipt::blob_t &b) { set_verdict(b, e[0], static_cast<std::int32_t>(e[9].offset + 8)); });
  corrupt("policy QUEUE", [&](ipt::blob_t &b) { set_verdict(b, e[1], -4); });
  corrupt("user chain ends without RETURN", [&](ipt::blob_t &b) { set_verdict(b, e[10], -2); });
  corrupt("hook beyond POSTROUTING", [](ipt::blob_t &b) { b.valid_hooks |= 1u << 5; });
  corrupt("valid hook without its chain", [](ipt::blob_t &b) { b.valid_hooks |= 1u << ipt::hook_prerouting; });
  corrupt("hook entry off an entry", [](ipt::blob_t &b) { b.hook_entry[ipt::hook_output] += 8; });
  corrupt("underflow before hook entry", [&](ipt::blob_t &b) { b.underflow[ipt::hook_output] = e[2].offset; });
  corrupt("chain without end", [&](ipt::blob_t &b) { b.underflow[ipt::hook_input] = e[8].offset; });
  // A name filling its whole field could not be written back.
  corrupt("chain name without its terminating zero", [&](ipt::blob_t &b) {
    std::memset(b.entries.data() + e[8].offset + e[8].target_offset + 32, 'n', 30);
  });
  corrupt("duplicate user chain", [&](ipt::blob_t &b) {
    std::memcpy(b.entries.data() + e[8].offset + e[8].target_offset + 32, "empty", 6);
  });
}

TEST(IpTablesBlob, ModelFaultsAreNamed) {
  ipt::table_t table = sample();
  table.user_chains[std::string(29, 'n')];
  EXPECT_NO_THROW(ipt::serialise_table(table));
  const std::string too_long(30, 'n');
  table.user_chains[too_long];
  EXPECT_EQ(runtime_error_text([&] { ipt::serialise_table(table); }), "Chain name is too long: " + too_long);

  table = sample();
  table.builtin_chains[ipt::hook_output].rules.push_back(ipt::rule_t().append_match(ipt::extension_t({1, 2, 3})));
  EXPECT_EQ(runtime_error_text([&] { ipt::serialise_table(table); }), "Invalid match size");

  table = sample();
  table.builtin_chains[ipt::hook_output].rules.push_back(ipt::rule_t().set_target(ipt::extension_t({1, 2, 3})));
  EXPECT_EQ(runtime_error_text([&] { ipt::serialise_table(table); }), "Invalid target size");

  table = sample();
  table.user_chains.erase("user");
  EXPECT_EQ(runtime_error_text([&] { ipt::serialise_table(table); }), "Jump to unknown chain: user");

  table = sample();
  table.builtin_chains[ipt::hook_input].policy = ipt::verdict_t::ret;
  EXPECT_EQ(runtime_error_text([&] { ipt::serialise_table(table); }), "Invalid policy of chain INPUT");
}

TEST(IpTablesExtensions, LayoutsAndLimits) {
  const ipt::extension_t comment = ipt::comment_match("movri-firewall");
  EXPECT_EQ(comment.size(), 288u);
  EXPECT_EQ(comment.u16(0), 288u);
  EXPECT_EQ(ipt::comment_text(comment), "movri-firewall");
  EXPECT_EQ(ipt::comment_text(foreign("comment", 64)), std::nullopt);
  EXPECT_EQ(ipt::comment_text(foreign("other", 256)), std::nullopt);
  EXPECT_EQ(runtime_error_text([] { ipt::comment_match(std::string(256, 'x')); }), "comment: text too long");

  const ipt::extension_t tcp = ipt::tcp_match(ipt::tcp_syn | ipt::tcp_ack, ipt::tcp_syn);
  EXPECT_EQ(tcp.size(), 48u);
  EXPECT_EQ(tcp.u16(34), 0xFFFF);
  EXPECT_EQ(tcp.u16(38), 0xFFFF);
  EXPECT_EQ(tcp.u8(41), 0x12);
  EXPECT_EQ(tcp.u8(42), 0x02);

  const std::vector<std::uint16_t> ports(15, 80);
  const ipt::extension_t multiport = ipt::multiport_match(0, ipt::multiport_side_t::destination, ports);
  EXPECT_EQ(multiport.size(), 64u);
  EXPECT_EQ(multiport.u8(32), 1);
  EXPECT_EQ(multiport.u8(33), 15);
  EXPECT_EQ(multiport.u16(34 + 2 * 14), 80);
  EXPECT_EQ(ipt::multiport_match(1, ipt::multiport_side_t::source, ports).size(), 80u);
  const std::vector<std::uint16_t> sixteen(16, 80);
  EXPECT_EQ(runtime_error_text([&] { ipt::multiport_match(1, ipt::multiport_side_t::source, sixteen); }),
            "multiport: too many ports");

  in_addr address{};
  inet_pton(AF_INET, "10.1.2.3", &address);
  const ipt::extension_t tproxy0 = ipt::tproxy_target(0, address, 3128, 0x1, 0x3);
  EXPECT_EQ(tproxy0.size(), 48u);
  EXPECT_EQ(tproxy0.u32(32), 0x3u);
  EXPECT_EQ(tproxy0.u32(36), 0x1u);
  EXPECT_EQ(tproxy0.u32(40), address.s_addr);
  EXPECT_EQ(tproxy0.u16(44), htons(3128));
  const ipt::extension_t tproxy1 = ipt::tproxy_target(1, address, 3128, 0x1, 0x3);
  EXPECT_EQ(tproxy1.size(), 64u);
  EXPECT_EQ(tproxy1.u32(40), address.s_addr);
  EXPECT_EQ(tproxy1.u16(56), htons(3128));

  EXPECT_EQ(ipt::nfqueue_target(1, 9, false).u16(34), 1);
  EXPECT_EQ(ipt::nfqueue_target(2, 9, true).u16(36), 1);
  EXPECT_EQ(ipt::nfqueue_target(3, 9, true).u16(36), 1);
  EXPECT_EQ(ipt::nfqueue_target(3, 9, false).u16(36), 0);
  EXPECT_EQ(ipt::nfqueue_target(3, 9, false).u16(32), 9);
  EXPECT_EQ(ipt::nfqueue_target(3, 9, false).size(), 40u);
  for (std::uint8_t old : {0, 1})
    EXPECT_EQ(runtime_error_text([&] { ipt::nfqueue_target(old, 9, true); }),
              "Cannot set --queue-bypass option: kernel is too old");

  ipt::extension_t mark("mark", 1, 9);
  mark.set_u32(32, 0x40);
  EXPECT_EQ(ipt::mark_match_value(mark), 0x40u);
  EXPECT_EQ(ipt::mark_match_value(foreign("mark", 24)), std::nullopt); // revision 0 layout
  ipt::extension_t mark_target("MARK", 2, 8);
  mark_target.set_u32(32, 0x80);
  EXPECT_EQ(ipt::mark_target_value(mark_target), 0x80u);
  EXPECT_EQ(ipt::mark_target_value(mark), std::nullopt);
}
