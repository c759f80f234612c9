#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fw/linux/ip_tables/table.hpp"

namespace fw::linux::ip_tables {

// A table in the kernel's own form: the entry bytes and where each built-in chain starts and ends.
struct blob_t {
  std::uint32_t valid_hooks = 0;
  std::array<std::uint32_t, hook_count> hook_entry{};
  std::array<std::uint32_t, hook_count> underflow{};
  std::uint32_t num_entries = 0;
  std::vector<std::uint8_t> entries;
};

// Reads the named table from the kernel. Errors: "Table name is too long: " + name (runtime error),
// system errors "Cannot create raw socket", "Cannot get IP table info" (ENOENT or ENOPROTOOPT when the
// table's module is not loaded), "Cannot get IP table entries", and EINVAL "Cannot parse IP table blob".
table_t read_table(const std::string &name);

// Replaces the named table by the model and restores the counters the model holds: rules read earlier
// keep their counts, new rules start at 0. Nothing is written unless the whole model serialises.
// System errors: "Cannot create raw socket", "Cannot get IP table info", "Cannot set IP table entries",
// "Cannot set IP table counters".
void write_table(const std::string &name, const table_t &table);

// The model of a blob; a blob that breaks the table structure raises the system error EINVAL
// "Cannot parse IP table blob".
table_t parse_table(const blob_t &blob);

// The blob of a model. Runtime errors: "Chain name is too long: " + name, "Invalid match size",
// "Invalid target size", "Jump to unknown chain: " + name, and the like for other faults of the model.
blob_t serialise_table(const table_t &table);

// The counters of every entry in blob order: each built-in chain's rules and policy, each user chain's
// head (zero), rules and tail (zero), and the closing entry (zero).
std::vector<counters_t> collect_counters(const table_t &table);

// The same for ip6_tables (IPv6) tables, read and written through a raw IPv6 socket. The texts of
// errors say "IPv6 table" where the IPv4 ones say "IP table" ("Cannot get IPv6 table info", ...).
table6_t read_table6(const std::string &name);
void write_table6(const std::string &name, const table6_t &table);
table6_t parse_table6(const blob_t &blob);
blob_t serialise_table(const table6_t &table);
std::vector<counters_t> collect_counters(const table6_t &table);

} // namespace fw::linux::ip_tables
