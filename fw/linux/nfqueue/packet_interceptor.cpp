#include "fw/linux/nfqueue/packet_interceptor.hpp"

#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/nfnetlink/message.hpp"
#include "fw/linux/nfnetlink/message_view.hpp"
#include "mv/log/log.hpp"

namespace fw::linux::nfqueue {

namespace {

// The queue subsystem of nfnetlink and its messages.
constexpr std::uint8_t subsys_queue = 3;
constexpr std::uint8_t msg_packet = 0;
constexpr std::uint16_t msg_verdict = nfnetlink::message_t::type(subsys_queue, 1); // 0x301
constexpr std::uint16_t msg_config = nfnetlink::message_t::type(subsys_queue, 2);  // 0x302

// Packet attributes.
constexpr std::uint16_t attr_packet_hdr = 1;
constexpr std::uint16_t attr_verdict_hdr = 2;
constexpr std::uint16_t attr_mark = 3;
constexpr std::uint16_t attr_timestamp = 4;
constexpr std::uint16_t attr_ifindex_indev = 5;
constexpr std::uint16_t attr_ifindex_outdev = 6;
constexpr std::uint16_t attr_hwaddr = 9;
constexpr std::uint16_t attr_payload = 10;
constexpr std::uint16_t attr_uid = 16;
constexpr std::uint16_t attr_gid = 17;

// Configuration attributes, commands and values.
constexpr std::uint16_t attr_cfg_cmd = 1;
constexpr std::uint16_t attr_cfg_params = 2;
constexpr std::uint16_t attr_cfg_queue_maxlen = 3;
constexpr std::uint16_t attr_cfg_mask = 4;
constexpr std::uint16_t attr_cfg_flags = 5;
constexpr std::uint8_t cmd_bind = 1;
constexpr std::uint8_t cmd_pf_bind = 3;
constexpr std::uint8_t cmd_pf_unbind = 4;
constexpr std::uint8_t copy_packet = 2;
constexpr std::uint32_t cfg_f_uid_gid = 8;
// The largest IPv4 header plus the largest TCP header: nothing beyond them is copied to user space.
// An IPv6 header (40 bytes) with a TCP header fits too, with room for small extension headers.
constexpr std::uint32_t copy_range = 60 + 60;

constexpr std::uint32_t nf_drop = 0;
constexpr std::uint32_t nf_accept = 1;
constexpr std::uint32_t nf_repeat = 4;

constexpr const char *log_prefix = "Packet interceptor: ";

void configure(netlink::socket_t &socket, std::uint16_t queue_number, std::uint32_t queue_length, bool uid_gid) {
  for (const std::uint8_t command : {cmd_pf_unbind, cmd_pf_bind, cmd_bind}) {
    nfnetlink::message_t message(AF_UNSPEC, queue_number);
    auto &attributes = message.attributes();
    auto cmd = attributes.add_bytes(attr_cfg_cmd, 4);
    cmd[0] = command;
    cmd[1] = 0;
    const std::uint16_t family = htons(AF_INET);
    std::memcpy(cmd.data() + 2, &family, 2);
    if (command == cmd_bind) {
      auto params = attributes.add_bytes(attr_cfg_params, 5);
      const std::uint32_t range = htonl(copy_range);
      std::memcpy(params.data(), &range, 4);
      params[4] = copy_packet;
      attributes.add_be32(attr_cfg_queue_maxlen, queue_length);
      if (uid_gid) {
        attributes.add_be32(attr_cfg_mask, cfg_f_uid_gid);
        attributes.add_be32(attr_cfg_flags, cfg_f_uid_gid);
      }
    }
    socket.request(msg_config, message.serialise());
  }
}

fw::util::scoped_fd_t open_configured(std::uint16_t queue_number, std::uint32_t queue_length, bool uid_gid,
                                      const packet_interceptor_t::socket_factory_t &factory) {
  netlink::socket_t socket = factory ? factory() : netlink::socket_t::open(netlink::protocol_netfilter);
  // A full receive buffer must not turn into a socket error: the kernel drops what does not fit.
  const int on = 1;
  if (::setsockopt(socket.native_handle(), netlink::sol_netlink, netlink::opt_no_enobufs, &on, sizeof on) != 0) {
    const int error = errno;
    MV_LOG(Warning, std::string("Cannot set option NETLINK_NO_ENOBUFS: ") + std::strerror(error));
  }
  configure(socket, queue_number, queue_length, uid_gid);
  return socket.release();
}

std::uint32_t read_raw32(const std::uint8_t *p) noexcept {
  std::uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

std::uint64_t read_be64(const std::uint8_t *p) noexcept {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | p[i];
  return value;
}

std::optional<std::uint32_t> find_be32(const netlink::attribute_view_t &attributes, std::uint16_t type) {
  const auto bytes = attributes.find_bytes(type);
  if (!bytes) return std::nullopt;
  if (bytes->size() < 4) throw netlink::compound_attribute_t::invalid_attribute_t();
  return ntohl(read_raw32(bytes->data()));
}

// The TCP header at offset h: whole, with a data offset of at least 5 that stays inside the packet.
std::size_t checked_tcp_offset(std::span<const std::uint8_t> packet, std::size_t h) {
  const std::size_t n = packet.size();
  if (n < h + fw::net::tcp_header_t::min_size) throw std::runtime_error("truncated TCP header");
  const fw::net::tcp_header_t tcp(packet.data() + h);
  if (tcp.data_offset() < 5)
    throw std::runtime_error("TCP data offset " + std::to_string(tcp.data_offset()) + " is below 5");
  if (n - h < tcp.header_length()) throw std::runtime_error("truncated TCP header");
  return h;
}

// The offset of the TCP header in a queued packet. Dispatches on the IP version; a packet that is not
// an unfragmented IPv4 TCP packet with both headers complete raises the reason.
std::size_t ipv4_tcp_offset(std::span<const std::uint8_t> packet) {
  const std::size_t n = packet.size();
  if (n < fw::net::ipv4_header_t::min_size + fw::net::tcp_header_t::min_size)
    throw std::runtime_error("truncated packet");
  const fw::net::ipv4_header_t ip(packet.data());
  if (ip.ihl() < 5) throw std::runtime_error("IPv4 header length " + std::to_string(ip.ihl()) + " is below 5");
  if (ip.protocol() != IPPROTO_TCP) throw std::runtime_error("not TCP but protocol " + std::to_string(ip.protocol()));
  if (ip.fragment_offset() != 0) throw std::runtime_error("not the first fragment");
  return checked_tcp_offset(packet, ip.header_length());
}

// The same for IPv6: after the fixed header and any hop-by-hop and destination options headers. Other
// extension headers (routing, fragment) are not walked: such a packet is not read.
std::size_t ipv6_tcp_offset(std::span<const std::uint8_t> packet) {
  const std::size_t n = packet.size();
  if (n < fw::net::ipv6_header_t::size + fw::net::tcp_header_t::min_size) throw std::runtime_error("truncated packet");
  const std::size_t h = fw::net::ipv6_header_t::tcp_offset(packet.data(), n);
  if (h == 0) throw std::runtime_error("no TCP header after the IPv6 header and its options headers");
  return checked_tcp_offset(packet, h);
}

std::size_t tcp_header_offset(std::span<const std::uint8_t> packet) {
  if (packet.empty()) throw std::runtime_error("truncated packet");
  const unsigned version = packet[0] >> 4;
  switch (version) {
  case 4: return ipv4_tcp_offset(packet);
  case 6: return ipv6_tcp_offset(packet);
  default: throw std::runtime_error("IP version " + std::to_string(version) + " is not read");
  }
}

// The packet id of a message whose attributes do not all parse: the first top-level packet header
// attribute with at least four bytes, met while walking the attributes as far as they are sound.
std::optional<std::uint32_t> salvage_packet_id(const std::uint8_t *payload, std::size_t length) {
  std::size_t at = nfnetlink::message_t::header_size;
  while (length >= at + netlink::attribute_header_size) {
    std::uint16_t size, type;
    std::memcpy(&size, payload + at, 2);
    std::memcpy(&type, payload + at + 2, 2);
    if (size < 4 || size > length - at) break;
    if (type == attr_packet_hdr && size >= 8) return read_raw32(payload + at + 4);
    at += netlink::align4(size);
  }
  return std::nullopt;
}

void read_attributes(const netlink::attribute_view_t &attributes, packet_interceptor_t::packet_attribs_t &attribs) {
  attribs.mark = find_be32(attributes, attr_mark);
  if (const auto hw = attributes.find_bytes(attr_hwaddr)) {
    // The kernel's record: address length (u16 big-endian), two padding bytes, eight address bytes.
    if (hw->size() < 12) throw netlink::compound_attribute_t::invalid_attribute_t();
    const std::size_t count = static_cast<std::size_t>(((*hw)[0] << 8) | (*hw)[1]);
    attribs.hw_addr.emplace(hw->data() + 4, count);
  }
  if (const auto timestamp = attributes.find_bytes(attr_timestamp)) {
    if (timestamp->size() < 16) throw netlink::compound_attribute_t::invalid_attribute_t();
    attribs.timestamp_sec = read_be64(timestamp->data());
    attribs.timestamp_usec = read_be64(timestamp->data() + 8);
  }
  attribs.uid = find_be32(attributes, attr_uid);
  attribs.gid = find_be32(attributes, attr_gid);
  attribs.indev = find_be32(attributes, attr_ifindex_indev);
  attribs.outdev = find_be32(attributes, attr_ifindex_outdev);
}

} // namespace

packet_interceptor_t::hw_addr_t::hw_addr_t(const std::uint8_t *bytes, std::size_t count) noexcept {
  static constexpr char digits[] = "0123456789abcdef";
  if (count > max_bytes) count = max_bytes;
  for (std::size_t i = 0; i < count; ++i) {
    if (i) text_[size_++] = ':';
    text_[size_++] = digits[bytes[i] >> 4];
    text_[size_++] = digits[bytes[i] & 0x0F];
  }
}

fw::util::scoped_fd_t packet_interceptor_t::open_queue(std::uint16_t queue_number, std::uint32_t queue_length,
                                                       const socket_factory_t &factory) {
  try {
    return open_configured(queue_number, queue_length, true, factory);
  } catch (const boost::system::system_error &e) {
    if (e.code() != boost::system::errc::operation_not_supported) throw;
  }
  // The kernel does not know the uid/gid flag: the same again without it, on a new socket.
  return open_configured(queue_number, queue_length, false, factory);
}

packet_interceptor_t::packet_interceptor_t(std::unique_ptr<netlink::async::link_t> link, std::uint16_t queue_number,
                                           std::uint32_t queue_limit)
    : link_(std::move(link)), queue_number_(queue_number), queue_limit_(queue_limit),
      pool_(std::make_shared<pooled_allocator_t<entry_ptr_t>::resource_t>()),
      pending_(pooled_allocator_t<entry_ptr_t>(pool_)) {
  // Warm the pool with as many entries as can be pending at once (and one more, for the packet that
  // pushes out the oldest), so that receiving packets allocates nothing.
  const pooled_allocator_t<packet_entry_t> allocator(pool_);
  for (std::uint32_t i = 0; i <= queue_limit_; ++i) pending_.push_back(std::allocate_shared<packet_entry_t>(allocator));
  pending_.clear();

  // Verdicts given in one turn of the event loop leave in one datagram.
  link_->set_coalescing(true);

  // The kernel discards queued packets on its own (their interface went down, for instance) and
  // answers a later verdict for one of them with ENOENT. That is no fault of the queue.
  link_->set_unanswered_error_filter([](std::uint16_t type, const boost::system::error_code &error) {
    if (type != msg_verdict || error != boost::system::errc::no_such_file_or_directory) return false;
    MV_LOG(Debug, std::string(log_prefix) + "verdict for a packet the kernel has already discarded: " + error.message());
    return true;
  });
}

packet_interceptor_t::~packet_interceptor_t() {
  link_.reset();
  pending_.clear();
}

void packet_interceptor_t::start(delegate_t &delegate) {
  delegate_ = &delegate;
  link_->start(*this);
}

void packet_interceptor_t::on_message(std::uint16_t type, const std::uint8_t *payload, std::size_t length) {
  // Whatever the kernel hands over that cannot be read costs that packet only: it is dropped by its id
  // (when the message yields one) and the queue goes on.
  std::optional<std::uint32_t> packet_id;
  packet_attribs_t attribs;
  const std::uint8_t *packet = nullptr;
  std::size_t tcp_offset = 0;
  try {
    if ((type >> 8) != subsys_queue || (type & 0xFF) != msg_packet)
      throw std::runtime_error("invalid message type: " + std::to_string(type));
    const auto message = nfnetlink::message_view_t::parse(payload, length);
    const auto &attributes = message.attributes();
    const auto header = attributes.get_bytes(attr_packet_hdr);
    if (header.size() >= 4) packet_id = read_raw32(header.data());
    if (header.size() < 7) throw netlink::compound_attribute_t::invalid_attribute_t();
    const auto bytes = attributes.get_bytes(attr_payload);
    tcp_offset = tcp_header_offset(bytes);
    packet = bytes.data();
    read_attributes(attributes, attribs);
  } catch (const std::exception &e) {
    if (!packet_id && type == nfnetlink::message_t::type(subsys_queue, msg_packet))
      packet_id = salvage_packet_id(payload, length);
    if (packet_id) send_verdict(*packet_id, nf_drop, nullptr);
    malformed_log_.log(mv::log::Warning, [&] {
      return std::string(log_prefix) + "queue " + std::to_string(queue_number_) + ": " +
             (packet_id ? "dropping unreadable packet: " : "ignoring unreadable message: ") + e.what();
    });
    return;
  }

  if (!pending_.empty() && pending_.size() >= queue_limit_) {
    // Under a flood every packet pushes one out: the line is written at most once a second, followed by
    // a count of the push-outs it stands for, so the log cannot be flooded.
    if (mv::log::enabled(mv::log::Info)) {
      const auto now = std::chrono::steady_clock::now();
      if (!push_out_logged_ || now - last_push_out_log_ >= std::chrono::seconds(1)) {
        if (suppressed_push_outs_ > 0)
          mv::log::log(mv::log::Info, std::string(log_prefix) + "queue limit: " +
                                          std::to_string(suppressed_push_outs_) +
                                          " more packets dropped since the last report");
        mv::log::log(mv::log::Info, std::string(log_prefix) + "queue limit reached; dropping the oldest packet");
        push_out_logged_ = true;
        last_push_out_log_ = now;
        suppressed_push_outs_ = 0;
      } else {
        ++suppressed_push_outs_;
      }
    }
    const std::weak_ptr<packet_entry_t> gone = pending_.front();
    send_verdict(pending_.front()->packet_id, nf_drop, nullptr);
    pending_.pop_front();
    delegate_->packet_pushed_out(gone);
  }

  const pooled_allocator_t<packet_entry_t> allocator(pool_);
  auto entry = std::allocate_shared<packet_entry_t>(allocator);
  entry->packet_id = *packet_id;
  entry->position = pending_.insert(pending_.end(), entry);
  std::weak_ptr<packet_entry_t> handle = entry;
  entry.reset();

  // The same queue carries both families; the version nibble told them apart above.
  const fw::net::ip_header_t ip = (packet[0] >> 4) == 6 ? fw::net::ip_header_t::ipv6(packet, tcp_offset)
                                                        : fw::net::ip_header_t(fw::net::ipv4_header_t(packet));
  delegate_->packet_intercepted(ip, fw::net::tcp_header_t(packet + tcp_offset), attribs, std::move(handle));
}

void packet_interceptor_t::on_error(const boost::system::error_code &error) {
  throw boost::system::system_error(error, "NFQUEUE: netlink");
}

void packet_interceptor_t::accept(const std::weak_ptr<packet_entry_t> &entry) { verdict(entry, nf_accept, nullptr); }

void packet_interceptor_t::drop(const std::weak_ptr<packet_entry_t> &entry) { verdict(entry, nf_drop, nullptr); }

void packet_interceptor_t::repeat(const std::weak_ptr<packet_entry_t> &entry, std::uint32_t mark) {
  verdict(entry, nf_repeat, &mark);
}

void packet_interceptor_t::verdict(const std::weak_ptr<packet_entry_t> &handle, std::uint32_t verdict,
                                   const std::uint32_t *mark) {
  const auto entry = handle.lock();
  if (!entry) return;
  send_verdict(entry->packet_id, verdict, mark);
  pending_.erase(entry->position);
}

void packet_interceptor_t::send_verdict(std::uint32_t packet_id, std::uint32_t verdict, const std::uint32_t *mark) {
  nfnetlink::message_t message(AF_UNSPEC, queue_number_);
  auto header = message.attributes().add_bytes(attr_verdict_hdr, 8);
  const std::uint32_t value = htonl(verdict);
  std::memcpy(header.data(), &value, 4);
  std::memcpy(header.data() + 4, &packet_id, 4);
  if (mark) message.attributes().add_be32(attr_mark, *mark);
  link_->send(msg_verdict, message.serialise());
}

} // namespace fw::linux::nfqueue
