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

// An address as inet_diag_sockid holds it: four 32-bit words in network order; IPv4 in the first.
void put_address(std::uint8_t *at, const boost::asio::ip::address &address) {
  if (address.is_v4()) {
    const auto bytes = address.to_v4().to_bytes();
    std::memcpy(at, bytes.data(), 4);
  } else {
    const auto bytes = address.to_v6().to_bytes();
    std::memcpy(at, bytes.data(), 16);
  }
}

boost::asio::ip::address unmapped(const boost::asio::ip::address &address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
  return address;
}

} // namespace

void put_exact_request(std::uint8_t *at, const key_t &key, unsigned interface) {
  std::memset(at, 0, request_header_size);
  const auto source = unmapped(key.first.address()), destination = unmapped(key.second.address());
  at[0] = source.is_v4() && destination.is_v4() ? AF_INET : AF_INET6;
  at[1] = IPPROTO_TCP;
  const std::uint32_t states = established_and_syn_sent; // not applied to a single socket
  std::memcpy(at + 4, &states, 4);
  // inet_diag_sockid: ports in network order, source and destination addresses, interface, cookie.
  at[8] = static_cast<std::uint8_t>(key.first.port() >> 8);
  at[9] = static_cast<std::uint8_t>(key.first.port());
  at[10] = static_cast<std::uint8_t>(key.second.port() >> 8);
  at[11] = static_cast<std::uint8_t>(key.second.port());
  const auto as_family = [&](const boost::asio::ip::address &a) -> boost::asio::ip::address {
    if (at[0] == AF_INET6 && a.is_v4()) return boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, a.to_v4());
    return a;
  };
  put_address(at + 12, as_family(source));
  put_address(at + 28, as_family(destination));
  const std::uint32_t index = interface;
  std::memcpy(at + 44, &index, 4);
  std::memset(at + 48, 0xFF, 8); // INET_DIAG_NOCOOKIE
}

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
