#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <boost/asio/generic/raw_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/system/error_code.hpp>

#include "fw/util/log_throttle.hpp"
#include "mv/util/callback_wrapper.hpp"

namespace fw::net {

// Sends ready-made IPv4 and IPv6 packets (their own IP header included) through raw sockets, one at a
// time, in the order they were queued. A packet the kernel refuses is lost, never the sender: EPERM at
// Debug, any other error with a throttled Warning. At most max_queued packets wait; more are dropped.
// The IPv6 socket is optional: on a host without IPv6 it stays closed and an IPv6 packet queued anyway
// is dropped as if the kernel had refused it.
class raw_sender_t : private mv::util::callback_wrapper_t {
public:
  using buffer_t = std::shared_ptr<std::uint8_t[]>;

  // A packet is sent within microseconds; thousands waiting means the socket is stuck.
  static constexpr std::size_t max_queued = 4096;

  // Opens the raw sockets.
  explicit raw_sender_t(boost::asio::io_context &io);
  // Abandons the send in flight and discards the queue.
  ~raw_sender_t() override;

  // Queues a packet for the destination address (network byte order); the buffer moves in.
  void send(std::uint32_t destination, buffer_t packet, std::size_t length);
  // The same for an IPv4 or IPv6 destination; the packet's own header must be of that family.
  void send(const boost::asio::ip::address &destination, buffer_t packet, std::size_t length);

  // The text that names a packet in log lines.
  static std::string describe(const std::uint8_t *packet, std::size_t length);

protected:
  // Sets SO_MARK on the raw sockets.
  boost::system::error_code set_mark(std::uint32_t mark) noexcept;

private:
  struct packet_t {
    boost::asio::ip::address destination;
    buffer_t bytes;
    std::size_t length;
  };

  void send_head();
  void sent(const boost::system::error_code &error);

  boost::asio::generic::raw_protocol::socket socket_;
  boost::asio::generic::raw_protocol::socket socket_ipv6_;
  std::deque<packet_t> queue_;
  fw::util::log_throttle_t failure_log_;
};

} // namespace fw::net
