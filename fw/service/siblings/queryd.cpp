#include "fw/service/siblings/queryd.hpp"
#include "fw/util/system_error.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/system_error.hpp>

#include "fw/util/asio_stream_socket_wrapper.hpp"
#include "mv/log/log.hpp"

namespace fw::service {

namespace {

// The longest path that fits in sun_path with its terminating zero.

} // namespace

queryd_t::queryd_t(boost::asio::io_context &io, fw::hubd::tie_t &hubd)
    : io_(io), hubd_(hubd), client_(std::make_unique<fw::queryd::queryd_t>(io, *this)) {}

queryd_t::~queryd_t() {
  alive_.abandon();
  client_.reset();
}

void queryd_t::get_link(handler_t handler) {
  hubd_.get_queryd(alive_.wrap([this, handler = std::move(handler)](const boost::system::error_code &ec,
                                                                     const std::string &path) {
    if (ec) return handler(std::make_exception_ptr(boost::system::system_error(ec, "Cannot get queryd socket path")), nullptr);
    std::unique_ptr<fw::util::stream_socket_t> stream;
    try {
      stream = connect(io_, path);
    } catch (const boost::system::system_error &) {
      return handler(std::current_exception(), nullptr);
    }
    MV_LOG(Info, "QueryD: connected to " + path);
    handler(nullptr, std::move(stream));
  }));
}

std::unique_ptr<fw::util::stream_socket_t> queryd_t::connect(boost::asio::io_context &io, const std::string &path) {
  if (path.size() > fw::util::max_unix_path_length)
    throw boost::system::system_error(ENAMETOOLONG, boost::system::system_category(), "Cannot connect to " + path);
  const boost::asio::local::stream_protocol::endpoint endpoint(path);
  fw::util::asio_stream_socket_wrapper_t::socket_t socket(io);
  boost::system::error_code ec;
  socket.open(boost::asio::local::stream_protocol(), ec);
  if (ec) throw boost::system::system_error(ec, "Cannot connect to " + path);
  // The connect runs on the event loop's thread, so it must not wait: a QueryD whose queue of
  // connections is full would hold every connection of the host until it accepts. In non-blocking mode a
  // unix-domain connect completes or fails (EAGAIN for a full queue) at once.
  const int fd = socket.native_handle();
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
      ::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0 ||
      ::fcntl(fd, F_SETFL, flags) != 0) {
    const int error = errno;
    throw boost::system::system_error(error, boost::system::system_category(), "Cannot connect to " + path);
  }
  return std::make_unique<fw::util::asio_stream_socket_wrapper_t>(std::move(socket));
}

} // namespace fw::service
