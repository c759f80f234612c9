#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fw/linux/ip_tables/extension.hpp"

namespace fw::linux::ip_tables {

// The built-in verdicts, by the kernel's netfilter verdict numbers; RETURN is held as 2.
enum class verdict_t : std::uint8_t { drop = 0, accept = 1, ret = 2, queue = 3 };

// A jump to the user chain of this name.
struct jump_t {
  std::string chain;
  bool operator==(const jump_t &) const = default;
};

// No target: evaluation continues with the next rule.
using no_target_t = std::monostate;

using target_t = std::variant<no_target_t, verdict_t, jump_t, extension_t>;

struct counters_t {
  std::uint64_t packets = 0;
  std::uint64_t bytes = 0;
  bool operator==(const counters_t &) const = default;
};

// Inverse flags of the IP header match (the kernel's IPT_INV_* bits).
enum ip_inverse_t : std::uint8_t {
  inv_in_iface = 0x01,
  inv_out_iface = 0x02,
  inv_tos = 0x04,
  inv_source = 0x08,
  inv_destination = 0x10,
  inv_fragment = 0x20,
  inv_protocol = 0x40
};

// The IP header match of a rule, laid out as the kernel's ipt_ip (84 bytes).
struct ip_header_t {
  in_addr src{}, dst{}, src_mask{}, dst_mask{};
  char in_iface[16]{}, out_iface[16]{};
  unsigned char in_iface_mask[16]{}, out_iface_mask[16]{};
  std::uint16_t proto = 0;
  std::uint8_t flags = 0;
  std::uint8_t invflags = 0; // ip_inverse_t bits
};
static_assert(sizeof(ip_header_t) == 84);

// The IPv6 header match of a rule, laid out as the kernel's ip6t_ip6 (136 bytes). The protocol is only
// compared when flags carry ip6_flag_protocol. The inverse flags use the same bits as IPv4 (inv_tos
// there stands for the kernel's IP6T_INV_TOS, inv_fragment has no IPv6 meaning).
struct ip6_header_t {
  in6_addr src{}, dst{}, src_mask{}, dst_mask{};
  char in_iface[16]{}, out_iface[16]{};
  unsigned char in_iface_mask[16]{}, out_iface_mask[16]{};
  std::uint16_t proto = 0;
  std::uint8_t tos = 0;
  std::uint8_t flags = 0;
  std::uint8_t invflags = 0;
  std::uint8_t padding[3]{};
};
static_assert(sizeof(ip6_header_t) == 136);
inline constexpr std::uint8_t ip6_flag_protocol = 0x01; // IP6T_F_PROTO

// One rule: the IP header match (kept byte for byte as read), the match extensions in order, the target
// and the counters. Header is ip_header_t for ip_tables, ip6_header_t for ip6_tables.
template <typename Header> struct basic_rule_t {
  using header_t = Header;
  using address_t = decltype(Header::src);

  Header ip{};
  std::vector<extension_t> matches;
  target_t target;
  counters_t counters;

  // For IPv6 also sets ip6_flag_protocol (cleared again for protocol 0).
  basic_rule_t &set_protocol(std::uint16_t protocol);
  // The interface name with a mask of 0xFF over the name and its terminating zero; a name longer than
  // 15 characters raises a runtime error.
  basic_rule_t &set_out_interface(std::string_view name);
  basic_rule_t &set_source(address_t address, address_t mask);
  basic_rule_t &set_destination(address_t address, address_t mask);
  // ip_inverse_t bits.
  basic_rule_t &set_inverse_flags(std::uint8_t flags);
  basic_rule_t &append_match(extension_t match);
  basic_rule_t &set_target(target_t target);

  bool operator==(const basic_rule_t &other) const;
};

using rule_t = basic_rule_t<ip_header_t>;
using rule6_t = basic_rule_t<ip6_header_t>;

extern template struct basic_rule_t<ip_header_t>;
extern template struct basic_rule_t<ip6_header_t>;

} // namespace fw::linux::ip_tables
