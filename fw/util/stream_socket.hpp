#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/system/error_code.hpp>

namespace fw::util {

// A connected byte stream under a framed link. Completion handlers run on the stream's executor.
class stream_socket_t {
public:
  using handler_t = std::function<void(const boost::system::error_code &, std::size_t)>;

  virtual ~stream_socket_t() = default;

  // Reads at least one byte into the buffer (or fails; end of stream is an error).
  virtual void async_read_some(const boost::asio::mutable_buffer &buffer, handler_t handler) = 0;
  // Writes some prefix of the gathered buffers; the handler gets the number of bytes written.
  virtual void async_write_some(const std::vector<boost::asio::const_buffer> &buffers, handler_t handler) = 0;
  // Closes the stream; pending operations complete with operation_aborted. Throws "close" on failure.
  virtual void close() = 0;
  virtual boost::asio::any_io_executor get_executor() = 0;

protected:
  stream_socket_t() = default;
  stream_socket_t(const stream_socket_t &) = delete;
  stream_socket_t &operator=(const stream_socket_t &) = delete;
};

} // namespace fw::util
