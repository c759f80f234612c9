#include "fw/util/asio_stream_socket_wrapper.hpp"

#include <sys/socket.h>

#include <boost/system/system_error.hpp>

namespace fw::util {

void asio_stream_socket_wrapper_t::async_read_some(const boost::asio::mutable_buffer &buffer, handler_t handler) {
  socket_.async_read_some(buffer, std::move(handler));
}

void asio_stream_socket_wrapper_t::async_write_some(const std::vector<boost::asio::const_buffer> &buffers,
                                                    handler_t handler) {
  // Asio already adds MSG_NOSIGNAL on Linux; say so explicitly rather than rely on it.
  socket_.async_send(buffers, MSG_NOSIGNAL, std::move(handler));
}

void asio_stream_socket_wrapper_t::close() {
  boost::system::error_code ec;
  socket_.close(ec);
  if (ec) throw boost::system::system_error(ec, "close");
}

} // namespace fw::util
