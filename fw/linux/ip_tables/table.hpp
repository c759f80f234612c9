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

struct chain_t {
  std::vector<rule_t> rules;
  bool operator==(const chain_t &) const = default;
};

struct builtin_chain_t {
  std::vector<rule_t> rules;
  verdict_t policy = verdict_t::accept; // ACCEPT or DROP
  counters_t policy_counters;
  bool operator==(const builtin_chain_t &) const = default;
};

// A whole table: the built-in chains the table has, by hook number, and the user chains by name.
struct table_t {
  std::map<unsigned, builtin_chain_t> builtin_chains;
  std::map<std::string, chain_t> user_chains;
  bool operator==(const table_t &) const = default;
};

} // namespace fw::linux::ip_tables
