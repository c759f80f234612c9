// The packet validator over packets as the interceptor hands them on (IPv4 header and complete TCP
// header present, nothing else checked). Input: the packet mark (32-bit host order), one byte choosing
// client or server check, the packet. A packet either passes or raises invalid_packet_t.

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "fw/net/ipv4_header.hpp"
#include "fw/net/tcp_header.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/service/path/packet_validator.hpp"
#include "fw/service/path/transparent_acceptor.hpp"
#include "fw/util/configuration.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"

namespace {

// Marks from the configuration only: no kernel table is read.
struct no_sources_t : fw::service::marks_t::delegate_t {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> routing_marks() override { return {}; }
  std::optional<std::uint32_t> nftables_marks() override { return std::nullopt; }
};

struct no_clients_t : fw::service::transparent_acceptor_t::delegate_t {
  void new_client_socket(const fw::net::endpoint_t &, const fw::net::endpoint_t &, fw::util::scoped_fd_t) override {}
};

// The validator as the daemon starts it (marks C=2, S=4), the transparent socket not opened.
struct setup_t {
  fw::configuration_t config;
  no_sources_t sources;
  boost::asio::io_context io;
  no_clients_t clients;
  fw::service::marks_t marks{config, sources};
  fw::service::transparent_acceptor_t acceptor{io, clients, config, marks};
  fw::service::packet_validator_t validator{marks, acceptor};

  setup_t() {
    config.mutable_local_delivery_mark()->set_manual(1);
    config.mutable_client_packets_mark()->set_manual(2);
    config.mutable_server_packets_mark()->set_manual(4);
    marks.start();
    validator.start();
  }
};

} // namespace

FUZZ_TARGET(packet_validator)(const std::uint8_t *data, std::size_t size) {
  static setup_t setup;
  if (size < 5) return 0;
  std::uint32_t mark;
  std::memcpy(&mark, data, 4);
  const bool server = data[4] & 1;
  const std::size_t n = size - 5;
  // Exactly the packet's bytes, so that reading beyond them is caught.
  std::unique_ptr<std::uint8_t[]> packet(new std::uint8_t[n]);
  if (n) std::memcpy(packet.get(), data + 5, n);

  // What the interceptor guarantees before handing a packet on.
  if (n < 40) return 0;
  const fw::net::ipv4_header_t ip(packet.get());
  const std::size_t h = ip.header_length();
  if (n < h + fw::net::tcp_header_t::min_size) return 0;
  const fw::net::tcp_header_t tcp(packet.get() + h);
  if (n - h < tcp.header_length()) return 0;

  bool passed = true;
  try {
    server ? setup.validator.validate_server_answer(ip, tcp, mark)
           : setup.validator.validate_client_packet(ip, tcp, mark);
  } catch (const fw::service::packet_validator_t::invalid_packet_t &) {
    passed = false;
  }
  // A packet that passes carries neither bypass mark, has SYN set and ACK as the side expects, and a
  // TCP header of at least 20 bytes.
  if (passed) {
    FUZZ_CHECK(tcp.data_offset() >= 5);
    FUZZ_CHECK((mark & 6) == 0);
    FUZZ_CHECK((tcp.flags() & 0x12) == (server ? 0x12 : 0x02));
  }
  return 0;
}
