#pragma once

#include <linux/netlink.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/generic/datagram_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "fw/linux/netlink/constants.hpp"
#include "fw/util/scoped_fd.hpp"
#include "mv/util/callback_wrapper.hpp"

namespace fw::linux::netlink::async {

// A netlink socket on the event loop: one receive outstanding at all times while running, a queue of
// outgoing datagrams sent one after the other, and completion handlers for requests that asked for an
// acknowledgement. Received messages go to the delegate; payloads point into the link's receive buffer
// (allocated once, sized by SO_RCVBUF) and are valid only during the call. The link never throws into
// the event loop: every failure ends in the delegate's on_error, after which the link is dead.
class link_t : private mv::util::callback_wrapper_t {
public:
  class delegate_t {
  public:
    // The first message of a multipart answer arrives.
    virtual void on_multipart_begin() = 0;
    // NLMSG_DONE arrived.
    virtual void on_multipart_end() = 0;
    // One message other than NOOP, ERROR and DONE.
    virtual void on_message(std::uint16_t type, const std::uint8_t *payload, std::size_t length) = 0;
    // The link failed; called at most once, after which the link no longer knows its delegate.
    virtual void on_error(const boost::system::error_code &error) = 0;

  protected:
    ~delegate_t() = default;
  };

  // Called with success or the error the kernel answered for the request.
  using completion_t = std::function<void(const boost::system::error_code &)>;

  // Judges an error that the kernel answered for a message sent without a completion handler, given
  // that message's type: true when the owner takes it as harmless and the link goes on.
  using unanswered_error_filter_t = std::function<bool(std::uint16_t type, const boost::system::error_code &)>;

  // Takes over an open netlink descriptor; nothing is read yet. Requests go to the kernel unless
  // peer_port_id names a user-space peer (tests). A system error "getsockopt(SO_RCVBUF)" (or from
  // assigning the descriptor) when the descriptor is unusable.
  link_t(boost::asio::io_context &io, fw::util::scoped_fd_t fd, std::uint32_t peer_port_id = 0);
  ~link_t() override;
  link_t(const link_t &) = delete;
  link_t &operator=(const link_t &) = delete;

  // Binds the socket to a netlink address (port id and multicast groups); a system error on failure.
  void bind(const sockaddr_nl &address);

  // Records the delegate and starts the receive loop.
  void start(delegate_t &delegate);

  // Queues one message: flags = extra_flags | NLM_F_REQUEST, and NLM_F_ACK when a handler is given,
  // which is called with the kernel's answer to this message. Sequence numbers count from 0. Nothing
  // happens once the link has stopped.
  void send(std::uint16_t type, std::vector<std::uint8_t> payload, completion_t handler = {},
            std::uint16_t extra_flags = 0);

  // Sends the messages queued while a send is under way together, in one datagram (off by default).
  // Only for protocols whose kernel side takes every message of a datagram on its own (a queue's
  // verdicts), not for batches that must begin a datagram.
  void set_coalescing(bool on) noexcept { coalesce_ = on; }

  // Without a filter (the default) every such error fails the link.
  void set_unanswered_error_filter(unanswered_error_filter_t filter) { unanswered_error_filter_ = std::move(filter); }

  // Detaches the delegate, closes the socket; pending handlers are dropped without being called.
  void stop() noexcept;
  bool stopped() const noexcept { return abandoned(); }

  std::size_t receive_buffer_size() const noexcept { return buffer_.size(); }
  int native_handle() noexcept { return socket_.native_handle(); }

private:
  using protocol_t = boost::asio::generic::datagram_protocol;

  struct datagram_t {
    std::array<std::uint8_t, header_size> header;
    std::vector<std::uint8_t> payload;
  };

  // Datagrams read in one turn of the event loop before the link lets other handlers run.
  static constexpr unsigned max_datagrams_per_turn = 64;
  // Buffers in one gathered send: within what one sendmsg takes (two per message).
  static constexpr std::size_t max_gathered_buffers = 64;

  void receive();
  void on_receive(const boost::system::error_code &error, std::size_t size);
  void drain();
  // Hands one datagram's messages out; false when the link died or lost its delegate meanwhile.
  bool dispatch(std::size_t size);
  void send_head();
  void on_sent(const boost::system::error_code &error, std::size_t size);
  void fail(const boost::system::error_code &error);

  boost::asio::basic_datagram_socket<protocol_t> socket_;
  int protocol_ = 0;
  protocol_t::endpoint peer_;
  std::vector<std::uint8_t> buffer_;
  std::uint32_t sequence_ = 0;
  bool multipart_ = false;
  std::map<std::uint32_t, completion_t> pending_;
  std::deque<datagram_t> queue_;
  std::vector<boost::asio::const_buffer> gather_;
  std::size_t sending_ = 0; // datagrams of queue_ in the send under way
  bool coalesce_ = false;
  delegate_t *delegate_ = nullptr;
  unanswered_error_filter_t unanswered_error_filter_;
};

} // namespace fw::linux::netlink::async
