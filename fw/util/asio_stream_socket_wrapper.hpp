#pragma once

#include <boost/asio/local/stream_protocol.hpp>

#include "fw/util/stream_socket.hpp"

namespace fw::util {

// The byte stream of a connected unix-domain stream socket. Writes never raise SIGPIPE: a peer that
// went away makes the write fail with EPIPE instead.
class asio_stream_socket_wrapper_t : public stream_socket_t {
public:
  using socket_t = boost::asio::local::stream_protocol::socket;

  explicit asio_stream_socket_wrapper_t(socket_t socket) : socket_(std::move(socket)) {}

  void async_read_some(const boost::asio::mutable_buffer &buffer, handler_t handler) override;
  void async_write_some(const std::vector<boost::asio::const_buffer> &buffers, handler_t handler) override;
  void close() override;
  boost::asio::any_io_executor get_executor() override { return socket_.get_executor(); }

  socket_t &socket() noexcept { return socket_; }

private:
  socket_t socket_;
};

} // namespace fw::util
