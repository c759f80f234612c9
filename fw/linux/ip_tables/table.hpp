#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fw/linux/ip_tables/rule.hpp"

namespace fw::linux::ip_tables {

// Netfilter hook numbers of the built-in chains.
enum hook_t : unsigned {
  hook_prerouting = 0,
  hook_input = 1,
  hook_forward = 2,
  hook_output = 3,
  hook_postrouting = 4,
  hook_count = 5
};

// "PREROUTING", "INPUT", "FORWARD", "OUTPUT", "POSTROUTING"; "" for any other number.
const char *hook_name(unsigned hook) noexcept;

template <typename Rule> struct basic_chain_t {
  std::vector<Rule> rules;
  bool operator==(const basic_chain_t &) const = default;
};

template <typename Rule> struct basic_builtin_chain_t {
  std::vector<Rule> rules;
  verdict_t policy = verdict_t::accept; // ACCEPT or DROP
  counters_t policy_counters;
  bool operator==(const basic_builtin_chain_t &) const = default;
};

// A whole table: the built-in chains the table has, by hook number, and the user chains by name.
template <typename Rule> struct basic_table_t {
  using rule_type = Rule;
  std::map<unsigned, basic_builtin_chain_t<Rule>> builtin_chains;
  std::map<std::string, basic_chain_t<Rule>> user_chains;
  bool operator==(const basic_table_t &) const = default;
};

using chain_t = basic_chain_t<rule_t>;
using builtin_chain_t = basic_builtin_chain_t<rule_t>;

// An ip_tables (IPv4) table and an ip6_tables (IPv6) table.
struct table_t : basic_table_t<rule_t> {};
struct table6_t : basic_table_t<rule6_t> {};

} // namespace fw::linux::ip_tables
