#pragma once

#include <cstdint>

namespace fw::linux::nftables {

// Values of the kernel's nf_tables netlink ABI that the daemon uses.

inline constexpr std::uint8_t subsystem = 10; // NFNL_SUBSYS_NFTABLES

// Protocol families.
inline constexpr std::uint8_t family_unspec = 0;
inline constexpr std::uint8_t family_inet = 1;
inline constexpr std::uint8_t family_ipv4 = 2;
inline constexpr std::uint8_t family_ipv6 = 10;

// Message types within the subsystem.
enum msg_t : std::uint8_t {
  msg_newtable = 0,
  msg_gettable = 1,
  msg_deltable = 2,
  msg_newchain = 3,
  msg_getchain = 4,
  msg_delchain = 5,
  msg_newrule = 6,
  msg_getrule = 7,
  msg_delrule = 8,
};

// Full netlink type of a subsystem message.
constexpr std::uint16_t full_type(std::uint8_t message) noexcept {
  return static_cast<std::uint16_t>((subsystem << 8) | message);
}

// Transaction framing (NFNL_MSG_BATCH_BEGIN / END), sent with resource id = subsystem.
inline constexpr std::uint16_t batch_begin_type = 0x10;
inline constexpr std::uint16_t batch_end_type = 0x11;

namespace table_attr {
inline constexpr std::uint16_t name = 1;
}

namespace chain_attr {
inline constexpr std::uint16_t table = 1;
inline constexpr std::uint16_t handle = 2;
inline constexpr std::uint16_t name = 3;
inline constexpr std::uint16_t hook = 4;
inline constexpr std::uint16_t type = 7;
} // namespace chain_attr

namespace hook_attr {
inline constexpr std::uint16_t number = 1;
inline constexpr std::uint16_t priority = 2;
} // namespace hook_attr

namespace rule_attr {
inline constexpr std::uint16_t table = 1;
inline constexpr std::uint16_t chain = 2;
inline constexpr std::uint16_t handle = 3;
inline constexpr std::uint16_t expressions = 4;
inline constexpr std::uint16_t position = 6;
inline constexpr std::uint16_t userdata = 7;
} // namespace rule_attr

// Element of a list attribute (NFTA_LIST_ELEM).
inline constexpr std::uint16_t list_element = 1;

namespace expr_attr {
inline constexpr std::uint16_t name = 1;
inline constexpr std::uint16_t data = 2;
} // namespace expr_attr

// Nested data (NFTA_DATA_*) and verdicts (NFTA_VERDICT_*).
namespace data_attr {
inline constexpr std::uint16_t value = 1;
inline constexpr std::uint16_t verdict = 2;
} // namespace data_attr
namespace verdict_attr {
inline constexpr std::uint16_t code = 1;
inline constexpr std::uint16_t chain = 2;
} // namespace verdict_attr

// Registers: 0 the verdict, 8 to 23 the 32-bit registers.
inline constexpr std::uint32_t reg_verdict = 0;
inline constexpr std::uint32_t reg_flags = 9;
inline constexpr std::uint32_t reg_a = 10;
inline constexpr std::uint32_t reg_b = 11;
inline constexpr std::uint32_t register_count = 24;

// Verdict codes.
inline constexpr std::uint32_t verdict_accept = 1;

// Meta keys.
inline constexpr std::uint32_t meta_mark = 3;
inline constexpr std::uint32_t meta_iif = 4;
inline constexpr std::uint32_t meta_oif = 5;
inline constexpr std::uint32_t meta_nfproto = 15;
inline constexpr std::uint32_t meta_l4proto = 16;
// Conntrack keys.
inline constexpr std::uint32_t ct_mark = 3;

// Comparison operations.
inline constexpr std::uint32_t cmp_eq = 0;
inline constexpr std::uint32_t cmp_neq = 1;

// Payload bases.
inline constexpr std::uint32_t payload_transport = 2;

// Queue flags.
inline constexpr std::uint16_t queue_bypass = 1;

// Netfilter hooks of the ip and inet families.
inline constexpr std::uint32_t hook_prerouting = 0;
inline constexpr std::uint32_t hook_input = 1;
inline constexpr std::uint32_t hook_forward = 2;
inline constexpr std::uint32_t hook_output = 3;
inline constexpr std::uint32_t hook_postrouting = 4;

// User data record types.
inline constexpr std::uint8_t udata_comment = 0;

} // namespace fw::linux::nftables
