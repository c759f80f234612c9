#include "fw/linux/netlink/async/link.hpp"
#include "fw/util/system_error.hpp"

#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/header.hpp"

namespace fw::linux::netlink::async {

namespace {

int socket_option(int fd, int option, const char *what) {
  int value = 0;
  socklen_t length = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, option, &value, &length) != 0)
    throw boost::system::system_error(fw::util::errno_code(), what);
  return value;
}

} // namespace

link_t::link_t(boost::asio::io_context &io, fw::util::scoped_fd_t fd, std::uint32_t peer_port_id) : socket_(io) {
  const int size = socket_option(fd.get(), SO_RCVBUF, "getsockopt(SO_RCVBUF)");
  const int family = socket_option(fd.get(), SO_DOMAIN, "getsockopt(SO_DOMAIN)");
  const int protocol = socket_option(fd.get(), SO_PROTOCOL, "getsockopt(SO_PROTOCOL)");
  buffer_.assign(static_cast<std::size_t>(size > 0 ? size : 0), 0);
  gather_.reserve(max_gathered_buffers);
  protocol_ = protocol;

  sockaddr_nl peer{};
  peer.nl_family = AF_NETLINK;
  peer.nl_pid = peer_port_id;
  peer.nl_groups = 0;
  peer_ = protocol_t::endpoint(&peer, sizeof peer, protocol);

  boost::system::error_code error;
  socket_.assign(protocol_t(family, protocol), fd.get(), error);
  if (error) throw boost::system::system_error(error, "assign");
  fd.release();
}

link_t::~link_t() { stop(); }

void link_t::bind(const sockaddr_nl &address) {
  boost::system::error_code error;
  socket_.bind(protocol_t::endpoint(&address, sizeof address, protocol_), error);
  if (error) throw boost::system::system_error(error, "bind");
}

void link_t::start(delegate_t &delegate) {
  if (stopped()) return;
  const bool running = delegate_ != nullptr;
  delegate_ = &delegate;
  if (!running) receive();
}

void link_t::receive() {
  // MSG_TRUNC reports a datagram's real size, so one that did not fit the buffer is detected.
  socket_.async_receive(boost::asio::buffer(buffer_), MSG_TRUNC,
                        wrap([this](const boost::system::error_code &error, std::size_t size) { on_receive(error, size); }));
}

void link_t::on_receive(const boost::system::error_code &error, std::size_t size) {
  if (error) return fail(error);
  if (size > buffer_.size()) return fail(boost::asio::error::message_size);
  if (!dispatch(size)) return;
  // What else waits is read in a turn of its own, after the handlers this datagram has posted (a
  // verdict leaves before the socket is asked again).
  boost::asio::post(socket_.get_executor(), wrap([this] { drain(); }));
}

void link_t::drain() {
  // What is waiting is read at once, up to a bound, rather than one datagram per round through the
  // reactor: one wake-up serves a burst. Beyond the bound the rest is read in a later turn, so that
  // other sockets get theirs.
  for (unsigned round = 0; round < max_datagrams_per_turn; ++round) {
    const ssize_t n = ::recv(socket_.native_handle(), buffer_.data(), buffer_.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return receive();
      if (errno == EINTR) continue;
      return fail(fw::util::errno_code());
    }
    if (static_cast<std::size_t>(n) > buffer_.size()) return fail(boost::asio::error::message_size);
    if (!dispatch(static_cast<std::size_t>(n))) return;
  }
  boost::asio::post(socket_.get_executor(), wrap([this] { drain(); }));
}

bool link_t::dispatch(std::size_t size) {
  // Set once the link is stopped or destroyed by whatever a callback does; nothing of this object may
  // be touched afterwards.
  const flag_t dead = liveness();
  std::size_t offset = 0;
  while (size - offset >= header_size) {
    const std::uint8_t *message = buffer_.data() + offset;
    const header_t header = header_t::read(message);
    if (header.length < header_size || header.length > size - offset) break;

    bool end_of_datagram = false;
    switch (header.type) {
    case msg_error: {
      if (header.length < error_message_size) {
        fail(fw::util::errno_code(EINVAL));
        return false;
      }
      const std::int32_t code = header_t::read_error(message);
      const header_t request = header_t::read(message + header_size + 4);
      const auto result = code == 0 ? boost::system::error_code() : fw::util::errno_code(header_t::error_number(code));
      auto it = pending_.find(request.sequence);
      if (it != pending_.end()) {
        completion_t handler = std::move(it->second);
        pending_.erase(it);
        handler(result);
        if (*dead) return false;
      } else if (code != 0) {
        if (!unanswered_error_filter_ || !unanswered_error_filter_(request.type, result)) {
          fail(result);
          return false;
        }
        if (*dead) return false;
      }
      break;
    }
    case msg_done:
      if (multipart_) {
        multipart_ = false;
        if (delegate_) delegate_->on_multipart_end();
      } else if (delegate_) {
        delegate_->on_multipart_begin();
        if (*dead) return false;
        if (delegate_) delegate_->on_multipart_end();
      }
      if (*dead) return false;
      end_of_datagram = true;
      break;
    case msg_noop:
      break;
    default:
      if ((header.flags & f_multi) && !multipart_) {
        multipart_ = true;
        if (delegate_) delegate_->on_multipart_begin();
        if (*dead) return false;
      }
      if (delegate_) delegate_->on_message(header.type, message + header_size, header.length - header_size);
      if (*dead) return false;
      break;
    }
    if (end_of_datagram || !delegate_) break;
    offset += align4(header.length);
    if (offset > size) break;
  }
  return delegate_ != nullptr;
}

void link_t::send(std::uint16_t type, std::vector<std::uint8_t> payload, completion_t handler,
                  std::uint16_t extra_flags) {
  if (stopped()) return;
  header_t header;
  header.length = static_cast<std::uint32_t>(header_size + payload.size());
  header.type = type;
  header.flags = static_cast<std::uint16_t>(extra_flags | f_request | (handler ? f_ack : 0));
  header.sequence = sequence_++;
  header.port_id = 0;
  if (handler) pending_[header.sequence] = std::move(handler);

  datagram_t &datagram = queue_.emplace_back();
  header.write(datagram.header.data());
  datagram.payload = std::move(payload);
  if (queue_.size() == 1) send_head();
}

void link_t::send_head() {
  // With coalescing on, the datagrams queued meanwhile leave together as one datagram of several
  // messages, which the kernel handles one after the other; otherwise one message per datagram.
  gather_.clear();
  std::size_t count = 0;
  for (const datagram_t &datagram : queue_) {
    gather_.push_back(boost::asio::buffer(datagram.header));
    gather_.push_back(boost::asio::buffer(datagram.payload));
    ++count;
    if (!coalesce_ || gather_.size() + 2 > max_gathered_buffers) break;
  }
  sending_ = count;
  socket_.async_send_to(gather_, peer_, 0,
                        wrap([this](const boost::system::error_code &error, std::size_t size) { on_sent(error, size); }));
}

void link_t::on_sent(const boost::system::error_code &error, std::size_t size) {
  if (error) return fail(error);
  std::size_t expected = 0;
  for (std::size_t i = 0; i < sending_; ++i) expected += header_size + queue_[i].payload.size();
  if (size < expected) return fail(fw::util::errno_code(EINVAL));
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(sending_));
  sending_ = 0;
  if (!queue_.empty()) send_head();
}

void link_t::stop() noexcept {
  if (stopped()) return;
  delegate_ = nullptr;
  abandon();
  boost::system::error_code ignored;
  socket_.close(ignored);
  pending_.clear();
  queue_.clear();
  sending_ = 0;
}

void link_t::fail(const boost::system::error_code &error) {
  delegate_t *delegate = delegate_;
  stop();
  if (delegate) delegate->on_error(error);
}

} // namespace fw::linux::netlink::async
