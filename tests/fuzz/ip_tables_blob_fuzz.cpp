// The ip_tables codec reading a table blob. Input: valid hooks, five hook entry and five underflow
// offsets (32-bit host order), then the entries. A blob read is written back and reads the same.

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <boost/system/system_error.hpp>

#include "fw/linux/ip_tables/codec.hpp"
#include "fw/linux/ip_tables/ext_comment.hpp"
#include "fw/linux/ip_tables/ext_mark.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"

namespace {

namespace ipt = fw::linux::ip_tables;

constexpr std::size_t info_size = 4 * (1 + 2 * ipt::hook_count);
constexpr std::size_t max_entries = 256 * 1024;

// What the services read from every rule of a foreign table.
void inspect(const ipt::rule_t &rule) {
  for (const ipt::extension_t &match : rule.matches) {
    (void)ipt::comment_text(match);
    (void)ipt::mark_match_value(match);
    (void)match.name();
    (void)match.revision();
  }
  if (const auto *target = std::get_if<ipt::extension_t>(&rule.target)) {
    (void)ipt::mark_target_value(*target);
    (void)target->name();
  }
}

bool same_info(const ipt::blob_t &a, const ipt::blob_t &b) {
  return a.valid_hooks == b.valid_hooks && a.hook_entry == b.hook_entry && a.underflow == b.underflow &&
         a.num_entries == b.num_entries && a.entries == b.entries;
}

} // namespace

FUZZ_TARGET(ip_tables_blob)(const std::uint8_t *data, std::size_t size) {
  if (size < info_size || size - info_size > max_entries) return 0;
  ipt::blob_t blob;
  std::memcpy(&blob.valid_hooks, data, 4);
  std::memcpy(blob.hook_entry.data(), data + 4, 4 * ipt::hook_count);
  std::memcpy(blob.underflow.data(), data + 4 + 4 * ipt::hook_count, 4 * ipt::hook_count);
  blob.entries.assign(data + info_size, data + size);

  ipt::table_t table;
  try {
    table = ipt::parse_table(blob);
  } catch (const boost::system::system_error &e) {
    FUZZ_CHECK(e.code().value() == EINVAL);
    return 0;
  }
  for (const auto &[hook, chain] : table.builtin_chains) {
    FUZZ_CHECK(hook < ipt::hook_count && (blob.valid_hooks & (1u << hook)));
    for (const ipt::rule_t &rule : chain.rules) inspect(rule);
  }
  for (const auto &[name, chain] : table.user_chains)
    for (const ipt::rule_t &rule : chain.rules) inspect(rule);

  // Written back (after the daemon's own changes), a table must read again as what was written.
  ipt::blob_t written;
  try {
    written = ipt::serialise_table(table);
  } catch (const std::runtime_error &e) {
    std::fprintf(stderr, "a table that was read cannot be written back: %s\n", e.what());
    std::abort();
  }
  FUZZ_CHECK(ipt::collect_counters(table).size() == written.num_entries);
  const ipt::table_t again = ipt::parse_table(written);
  FUZZ_CHECK(same_info(ipt::serialise_table(again), written));
  return 0;
}
