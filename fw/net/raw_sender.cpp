#include "fw/net/raw_sender.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "fw/net/packet_fields.hpp"
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
}

raw_sender_t::~raw_sender_t() {
  abandon();
  boost::system::error_code ignored;
  socket_.close(ignored);
}

void raw_sender_t::send(std::uint32_t destination, buffer_t packet, std::size_t length) {
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
    throw boost::system::system_error(error, "Raw sender: sendto failed");
  }
  queue_.pop_front();
  if (!queue_.empty()) send_head();
}

std::string raw_sender_t::describe(const std::uint8_t *packet, std::size_t length) {
  if (length < 20) return "invalid packet, " + std::to_string(length) + " bytes";
  const std::size_t header = fields::ipv4_header_length(packet);
  const std::string source = address_text(fields::ipv4_source(packet));
  const std::string destination = address_text(fields::ipv4_destination(packet));
  if (header < length && length - header >= 20) {
    const std::uint8_t *tcp = packet + header;
    static const struct {
      std::uint8_t bit;
      const char *name;
    } names[] = {{0x01, "FIN"}, {0x02, "SYN"}, {0x04, "RST"}, {0x08, "PSH"}, {0x10, "ACK"}};
    std::string flags;
    for (const auto &flag : names) {
      if (!(tcp[13] & flag.bit)) continue;
      if (!flags.empty()) flags += ",";
      flags += flag.name;
    }
    if (!flags.empty()) flags += " ";
    return "TCP " + flags + source + ":" + std::to_string(fields::tcp_source_port(tcp)) + " -> " + destination +
           ":" + std::to_string(fields::tcp_destination_port(tcp));
  }
  const std::size_t payload = header < length ? length - header : 0;
  return "IP " + source + " -> " + destination + ", " + std::to_string(payload) + " bytes payload";
}

} // namespace fw::net
