#include "fw/linux/sock_diag/request.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "fw/linux/netlink/compound_attribute.hpp"

namespace fw::linux::sock_diag {

namespace {

void put_op(std::uint8_t *at, std::uint8_t code, std::uint8_t yes, std::uint16_t no) {
  at[0] = code;
  at[1] = yes;
  std::memcpy(at + 2, &no, 2);
}

// inet_diag_hostcond for one IPv4 endpoint: family, prefix length, 2 padding bytes, the port as a
// host-order int, then the address in network order.
void put_hostcond(std::uint8_t *at, const endpoint_t &endpoint) {
  at[0] = AF_INET;
  at[1] = 32;
  const std::int32_t port = endpoint.port();
  std::memcpy(at + 4, &port, 4);
  const auto address = endpoint.address().to_v4().to_bytes();
  std::memcpy(at + 8, address.data(), 4);
}

} // namespace

std::vector<std::uint8_t> make_request(std::span<const key_t> keys) {
  std::vector<std::uint8_t> payload(request_header_size, 0);
  payload[0] = AF_INET;
  payload[1] = IPPROTO_TCP;
  const std::uint32_t states = established_and_syn_sent;
  std::memcpy(payload.data() + 4, &states, 4);

  const std::size_t n = keys.size();
  netlink::compound_attribute_t attributes;
  auto program = attributes.add_bytes(req_bytecode, bytecode_block_size * n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t *block = program.data() + bytecode_block_size * i;
    const bool last = i + 1 == n;
    put_op(block, bc_s_cond, 16, last ? 40 : 36);
    put_hostcond(block + 4, keys[i].first);
    put_op(block + 16, bc_d_cond, 16, last ? 24 : 20);
    put_hostcond(block + 20, keys[i].second);
    put_op(block + 32, bc_jmp, 4, static_cast<std::uint16_t>(bytecode_block_size * (n - i) - 32));
  }
  attributes.serialise_to(payload);
  return payload;
}

} // namespace fw::linux::sock_diag
