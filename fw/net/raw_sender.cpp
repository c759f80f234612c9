#include "fw/net/raw_sender.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "fw/net/ipv4_header.hpp"
#include "fw/net/ipv6_header.hpp"
#include "fw/net/tcp_header.hpp"
#include "mv/log/log.hpp"

namespace fw::net {

namespace {

std::string address_text(std::uint32_t address) {
  char text[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

std::string ipv6_text(const std::uint8_t *address) {
  char text[INET6_ADDRSTRLEN];
  ::inet_ntop(AF_INET6, address, text, sizeof text);
  return text;
}

} // namespace

raw_sender_t::raw_sender_t(boost::asio::io_context &io) : socket_(io), socket_ipv6_(io) {
  boost::system::error_code error;
  socket_.open(boost::asio::generic::raw_protocol(AF_INET, IPPROTO_RAW), error);
  if (error) throw boost::system::system_error(error, "Raw sender: cannot open raw socket");
  ::fcntl(socket_.native_handle(), F_SETFD, FD_CLOEXEC);
  // With IPPROTO_RAW the kernel takes the IPv6 header from the packet as well. No IPv6 on the host: no
  // IPv6 packets to send either.
  socket_ipv6_.open(boost::asio::generic::raw_protocol(AF_INET6, IPPROTO_RAW), error);
  if (!error) ::fcntl(socket_ipv6_.native_handle(), F_SETFD, FD_CLOEXEC);
}

raw_sender_t::~raw_sender_t() {
  abandon();
  boost::system::error_code ignored;
  socket_.close(ignored);
  socket_ipv6_.close(ignored);
}

void raw_sender_t::send(std::uint32_t destination, buffer_t packet, std::size_t length) {
  send(boost::asio::ip::address_v4(ntohl(destination)), std::move(packet), length);
}

void raw_sender_t::send(const boost::asio::ip::address &destination, buffer_t packet, std::size_t length) {
  if (queue_.size() >= max_queued) {
    failure_log_.log(mv::log::Warning, [&] {
      return "Raw sender: " + std::to_string(max_queued) + " packets waiting; dropping " + describe(packet.get(), length);
    });
    return;
  }
  queue_.push_back(packet_t{destination, std::move(packet), length});
  if (queue_.size() == 1) send_head();
}

boost::system::error_code raw_sender_t::set_mark(std::uint32_t mark) noexcept {
  for (auto *socket : {&socket_, &socket_ipv6_}) {
    if (!socket->is_open()) continue;
    if (::setsockopt(socket->native_handle(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0)
      return {errno, boost::system::system_category()};
  }
  return {};
}

void raw_sender_t::send_head() {
  const packet_t &head = queue_.front();
  auto handler = wrap([this](const boost::system::error_code &error, std::size_t) { sent(error); });
  const auto bytes = boost::asio::buffer(head.bytes.get(), head.length);
  if (head.destination.is_v6()) {
    if (!socket_ipv6_.is_open()) {
      // Reported as a refusal by the kernel: the packet is dropped and the queue goes on.
      return boost::asio::post(socket_.get_executor(), [handler = std::move(handler)]() mutable {
        handler(boost::system::errc::make_error_code(boost::system::errc::operation_not_permitted), 0);
      });
    }
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    const auto address = head.destination.to_v6().to_bytes();
    std::memcpy(&to.sin6_addr, address.data(), address.size());
    to.sin6_scope_id = head.destination.to_v6().scope_id();
    return socket_ipv6_.async_send_to(bytes, boost::asio::generic::raw_protocol::endpoint(&to, sizeof to, IPPROTO_RAW),
                                      0, std::move(handler));
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = 0;
  to.sin_addr.s_addr = htonl(head.destination.to_v4().to_uint());
  socket_.async_send_to(bytes, boost::asio::generic::raw_protocol::endpoint(&to, sizeof to, IPPROTO_RAW), 0,
                        std::move(handler));
}

void raw_sender_t::sent(const boost::system::error_code &error) {
  if (error == boost::asio::error::operation_aborted) return;
  if (error == boost::system::errc::operation_not_permitted) {
    const packet_t &head = queue_.front();
    MV_LOG(Debug, "Raw sender: packet dropped by kernel: " + describe(head.bytes.get(), head.length));
  } else if (error) {
    // ENOBUFS, EMSGSIZE, an unreachable destination...: the packet is lost, the next one goes out.
    const packet_t &head = queue_.front();
    failure_log_.log(mv::log::Warning, [&] {
      return "Raw sender: sendto failed: " + error.message() + "; dropping " + describe(head.bytes.get(), head.length);
    });
  }
  queue_.pop_front();
  if (!queue_.empty()) send_head();
}

std::string raw_sender_t::describe(const std::uint8_t *packet, std::size_t length) {
  if (length < 20) return "invalid packet, " + std::to_string(length) + " bytes";
  std::size_t header;
  std::string source, destination;
  const bool ipv6 = (packet[0] >> 4) == 6 && length >= ipv6_header_t::size;
  if (ipv6) {
    header = ipv6_header_t::size;
    source = ipv6_text(ipv6_header_t(packet).source_address());
    destination = ipv6_text(ipv6_header_t(packet).destination_address());
  } else {
    const ipv4_header_t ipv4(packet);
    header = ipv4.header_length();
    source = address_text(ipv4.source_address());
    destination = address_text(ipv4.destination_address());
  }
  if (header < length && length - header >= 20) {
    const tcp_header_t tcp(packet + header);
    static const struct {
      std::uint8_t bit;
      const char *name;
    } names[] = {{0x01, "FIN"}, {0x02, "SYN"}, {0x04, "RST"}, {0x08, "PSH"}, {0x10, "ACK"}};
    std::string flags;
    for (const auto &flag : names) {
      if (!(tcp.flags() & flag.bit)) continue;
      if (!flags.empty()) flags += ",";
      flags += flag.name;
    }
    if (!flags.empty()) flags += " ";
    if (ipv6) source = "[" + source + "]", destination = "[" + destination + "]"; // endpoints as everywhere
    return "TCP " + flags + source + ":" + std::to_string(tcp.source_port()) + " -> " + destination + ":" +
           std::to_string(tcp.destination_port());
  }
  const std::size_t payload = header < length ? length - header : 0;
  return "IP " + source + " -> " + destination + ", " + std::to_string(payload) + " bytes payload";
}

} // namespace fw::net
