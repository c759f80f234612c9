#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

namespace fw::linux::sock_diag {

// Message type of socket diagnostics requests and of the answers of their dumps.
inline constexpr std::uint16_t sock_diag_by_family = 20;

// Attribute of inet_diag_req_v2 that holds a filter program.
inline constexpr std::uint16_t req_bytecode = 1;

// Filter program operations.
inline constexpr std::uint8_t bc_jmp = 1;
inline constexpr std::uint8_t bc_s_cond = 7;
inline constexpr std::uint8_t bc_d_cond = 8;

// TCP states asked for: ESTABLISHED (1) and SYN_SENT (2).
inline constexpr std::uint8_t tcp_established = 1;
inline constexpr std::uint8_t tcp_syn_sent = 2;
inline constexpr std::uint32_t established_and_syn_sent = (1u << tcp_established) | (1u << tcp_syn_sent);

// Size of inet_diag_req_v2 and of the filter block for one key.
inline constexpr std::size_t request_header_size = 56;
inline constexpr std::size_t bytecode_block_size = 36;

using endpoint_t = boost::asio::ip::tcp::endpoint;
// (source, destination) of a local TCP socket.
using key_t = std::pair<endpoint_t, endpoint_t>;

// The payload of a SOCK_DIAG_BY_FAMILY dump request for IPv4 TCP sockets in the states above whose
// (source, destination) equals one of the keys: inet_diag_req_v2 followed by INET_DIAG_REQ_BYTECODE.
// For each key the program holds a source condition, a destination condition and a jump to the end
// of the program (accept); a mismatch moves on to the next key's block, and after the last key it
// jumps 4 bytes past the end (reject).
std::vector<std::uint8_t> make_request(std::span<const key_t> keys);

// The payload of a SOCK_DIAG_BY_FAMILY request (no dump) for the one TCP socket whose (source,
// destination) is the key: inet_diag_req_v2 with the socket id filled in and no cookie. The kernel looks
// the key up in its hash tables (established and time-wait sockets first, then listeners) and answers
// with the socket, or with the error ENOENT. The family is the key's: AF_INET for IPv4 addresses (which
// also finds an IPv6 socket connected to an IPv4-mapped address), AF_INET6 otherwise. A socket bound to
// an interface is found only when `interface` is its index. Written at `at`, request_header_size bytes.
void put_exact_request(std::uint8_t *at, const key_t &key, unsigned interface = 0);

} // namespace fw::linux::sock_diag
