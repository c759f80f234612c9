#include "fw/net/raw_sender.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "fw/net/ipv4_header.hpp"
#include "fw/net/tcp_header.hpp"
#include "mv/log/log.hpp"

namespace fw::net {

namespace {

std::string address_text(std::uint32_t address) {
  char text[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

} // namespace

raw_sender_t::raw_sender_t(boost::asio::io_context &io) : socket_(io) {
  boost::system::error_code error;
  socket_.open(boost::asio::generic::raw_protocol(AF_INET, IPPROTO_RAW), error);
  if (error) throw boost::system::system_error(error, "Raw sender: cannot open raw socket");
  ::fcntl(socket_.native_handle(), F_SETFD, FD_CLOEXEC);
}

raw_sender_t::~raw_sender_t() {
  abandon();
  boost::system::error_code ignored;
  socket_.close(ignored);
}

void raw_sender_t::send(std::uint32_t destination, buffer_t packet, std::size_t length) {
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
  if (::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0)
    return {errno, boost::system::system_category()};
  return {};
}

void raw_sender_t::send_head() {
  const packet_t &head = queue_.front();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = 0;
  to.sin_addr.s_addr = head.destination;
  socket_.async_send_to(boost::asio::buffer(head.bytes.get(), head.length),
                        boost::asio::generic::raw_protocol::endpoint(&to, sizeof to, IPPROTO_RAW), 0,
                        wrap([this](const boost::system::error_code &error, std::size_t) { sent(error); }));
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
  const ipv4_header_t ipv4(packet);
  const std::size_t header = ipv4.header_length();
  const std::string source = address_text(ipv4.source_address());
  const std::string destination = address_text(ipv4.destination_address());
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
    return "TCP " + flags + source + ":" + std::to_string(tcp.source_port()) + " -> " + destination + ":" +
           std::to_string(tcp.destination_port());
  }
  const std::size_t payload = header < length ? length - header : 0;
  return "IP " + source + " -> " + destination + ", " + std::to_string(payload) + " bytes payload";
}

} // namespace fw::net
