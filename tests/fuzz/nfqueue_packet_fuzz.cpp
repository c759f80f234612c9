// The NFQUEUE interceptor receiving queued-packet messages. Input: one byte choosing the verdict and
// the queue's situation, then the nfnetlink payload of a packet message (sent once or twice in one
// datagram). A packet handed on has complete headers inside its attribute; anything else is dropped
// without leaving the loop, and a well-formed packet sent after it is handed on.

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "fw/linux/netlink/async/link.hpp"
#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/nfqueue/packet_interceptor.hpp"
#include "fw/net/security_option.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"
#include "tests/fw/net/packet_builder.hpp"
#include "tests/support/netlink_peer.hpp"

namespace {

namespace nl = fw::linux::netlink;
using fw::linux::nfqueue::packet_interceptor_t;
using tests::fuzz::bytes_t;

constexpr std::uint16_t packet_message = 0x300;
constexpr std::size_t max_payload = 65000;

// The packet attribute (type 10) of a payload as the kernel would have meant it: the last one at the
// top level, after the 4-byte nfnetlink header.
std::optional<bytes_t> packet_attribute(const std::uint8_t *data, std::size_t size) {
  std::optional<bytes_t> found;
  if (size < 4) return found;
  std::size_t at = 4;
  while (size - at >= 4) {
    const std::size_t length = data[at] | data[at + 1] << 8;
    const std::uint16_t type = static_cast<std::uint16_t>(data[at + 2] | data[at + 3] << 8);
    if (length < 4 || length > size - at) break;
    if ((type & nl::attribute_type_mask) == 10) found = bytes_t(data + at + 4, data + at + length);
    if (nl::align4(length) > size - at) break;
    at += nl::align4(length);
  }
  return found;
}

// The well-formed packet after the input: a SYN from 192.0.2.77 with 20-byte headers (inputs whose
// packet comes from there are skipped).
constexpr std::uint32_t sentinel_address = 0x4d0200c0; // 192.0.2.77 in network byte order

bytes_t sentinel_message() {
  tests::tcp_packet_t syn;
  syn.source = "192.0.2.77";
  bytes_t payload = {2, 0, 0x12, 0x34, 11, 0, 1, 0, 0, 0, 0, 9, 8, 0, 3, 0, 44, 0, 10, 0}, packet = syn.bytes();
  payload.insert(payload.end(), packet.begin(), packet.end());
  return tests::netlink::message_of(packet_message, 0, payload.data(), payload.size());
}

struct delegate_t : packet_interceptor_t::delegate_t {
  packet_interceptor_t *interceptor = nullptr;
  unsigned action = 0;
  std::optional<bytes_t> packet;
  int calls = 0;
  bool sentinel = false;
  std::vector<std::weak_ptr<packet_interceptor_t::packet_entry_t>> kept;

  void packet_intercepted(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp,
                          const packet_interceptor_t::packet_attribs_t &attribs,
                          std::weak_ptr<packet_interceptor_t::packet_entry_t> entry) override {
    if (!ip.is_ipv6() && ip.ipv4().source_address() == sentinel_address) {
      sentinel = true;
      return interceptor->drop(entry);
    }
    ++calls;
    // The views lie over the packet attribute and inside it, with both headers complete.
    FUZZ_CHECK(packet.has_value());
    const std::size_t n = packet->size();
    const std::size_t h = ip.header_length();
    FUZZ_CHECK(n >= 40 && h + fw::net::tcp_header_t::min_size <= n && h + tcp.header_length() <= n);
    FUZZ_CHECK(std::memcmp(ip.data(), packet->data(), n) == 0);
    FUZZ_CHECK(tcp.data() == ip.data() + h);
    // What the diverter reads of the packet.
    const auto options = ip.options();
    const std::uint8_t *option = fw::net::find_security_option(options.data(), options.size());
    if (option) FUZZ_CHECK(option >= options.data() && option + fw::net::option_length(option) <= options.data() + options.size());
    (void)(ip.source() == ip.destination() || (tcp.source_port() ^ tcp.destination_port() ^ tcp.flags()));
    if (attribs.hw_addr) FUZZ_CHECK(attribs.hw_addr->view().size() <= 8 * 3);

    switch (action) {
    case 0: interceptor->accept(entry); break;
    case 1: interceptor->drop(entry); break;
    case 2: interceptor->repeat(entry, attribs.mark.value_or(0) | 0x10); break;
    default: kept.push_back(std::move(entry)); break;
    }
  }
};

} // namespace

FUZZ_TARGET(nfqueue_packet)(const std::uint8_t *data, std::size_t size) {
  if (size < 1 || size - 1 > max_payload) return 0;
  tests::fuzz::quiet_log();
  const std::uint8_t control = data[0];
  const std::uint8_t *payload = data + 1;
  const std::size_t payload_size = size - 1;

  boost::asio::io_context io;
  tests::netlink::endpoint_t own;
  const std::uint32_t own_port = own.port;
  delegate_t delegate;
  delegate.action = control & 3;
  delegate.packet = packet_attribute(payload, payload_size);
  if (delegate.packet && delegate.packet->size() >= 16 &&
      std::memcmp(delegate.packet->data() + 12, &sentinel_address, 4) == 0)
    return 0;
  const int copies = (control & 4) ? 2 : 1;
  {
    packet_interceptor_t interceptor(std::make_unique<nl::async::link_t>(io, std::move(own.fd), tests::netlink::kernel_peer().port),
                                     0x1234, (control & 8) ? 1 : 768);
    delegate.interceptor = &interceptor;
    interceptor.start(delegate);

    const bytes_t message = tests::netlink::message_of(packet_message, 0, payload, payload_size);
    bytes_t datagram;
    for (int i = 0; i < copies; ++i) datagram.insert(datagram.end(), message.begin(), message.end());
    tests::netlink::kernel_peer().send_to(own_port, datagram.data(), datagram.size());
    const bytes_t sentinel = sentinel_message();
    tests::netlink::kernel_peer().send_to(own_port, sentinel.data(), sentinel.size());

    // Nothing leaves the event loop; the well-formed packet comes after whatever the input made.
    while (!delegate.sentinel) FUZZ_CHECK(io.run_one_for(std::chrono::seconds(5)) > 0);
    FUZZ_CHECK(interceptor.pending_count() <= interceptor.queue_limit());
    FUZZ_CHECK(delegate.calls == 0 || delegate.calls == copies); // both copies are alike
    // Verdicts for packets pushed out by the queue limit send nothing; the others go out now.
    for (const auto &entry : delegate.kept) interceptor.accept(entry);
    FUZZ_CHECK(interceptor.pending_count() == 0);
    io.poll();
  }
  // A late verdict after the interceptor is gone sends nothing and does not fail.
  tests::netlink::kernel_peer().drain();
  return 0;
}
