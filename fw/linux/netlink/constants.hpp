#pragma once

#include <cstddef>
#include <cstdint>

namespace fw::linux::netlink {

// Values of the kernel's netlink ABI that the daemon relies on. Headers are in host byte order.
inline constexpr int af_netlink = 16;

inline constexpr int protocol_route = 0;
inline constexpr int protocol_sock_diag = 4;
inline constexpr int protocol_netfilter = 12;

inline constexpr std::uint16_t msg_noop = 1;
inline constexpr std::uint16_t msg_error = 2;
inline constexpr std::uint16_t msg_done = 3;

inline constexpr std::uint16_t f_request = 0x1;
inline constexpr std::uint16_t f_multi = 0x2;
inline constexpr std::uint16_t f_ack = 0x4;
// NLM_F_ROOT | NLM_F_MATCH: "give me everything" on a GET request.
inline constexpr std::uint16_t f_dump = 0x300;
// Flags of NEW requests.
inline constexpr std::uint16_t f_replace = 0x100;
inline constexpr std::uint16_t f_excl = 0x200;
inline constexpr std::uint16_t f_create = 0x400;
inline constexpr std::uint16_t f_append = 0x800;

// Socket option level and options.
inline constexpr int sol_netlink = 270;
inline constexpr int opt_no_enobufs = 5;

// Size of the message header (nlmsghdr) and of an error message: header, error code, the header of the
// request it answers.
inline constexpr std::size_t header_size = 16;
inline constexpr std::size_t error_message_size = header_size + 4 + header_size;

// Attribute header (nlattr) and the bits of its type field that are flags.
inline constexpr std::size_t attribute_header_size = 4;
inline constexpr std::uint16_t attribute_nested = 0x8000;
inline constexpr std::uint16_t attribute_type_mask = 0x3FFF;
// Nested levels below the top one that the parsers follow. The kernel's messages use a handful; a
// deeper message is malformed, and refusing it keeps the recursive parsers off the end of the stack.
inline constexpr unsigned max_attribute_nesting = 32;

constexpr std::size_t align4(std::size_t n) noexcept { return (n + 3) & ~std::size_t{3}; }

} // namespace fw::linux::netlink
