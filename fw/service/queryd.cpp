#include "fw/service/queryd.hpp"

#include <cerrno>
#include <utility>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/system_error.hpp>

#include "fw/util/asio_stream_socket_wrapper.hpp"
#include "mv/log/log.hpp"

namespace fw::service {

namespace {

// The longest path that fits in sun_path with its terminating zero.
constexpr std::size_t max_path_length = 107;

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
  if (path.size() > max_path_length)
    throw boost::system::system_error(ENAMETOOLONG, boost::system::system_category(), "Cannot connect to " + path);
  fw::util::asio_stream_socket_wrapper_t::socket_t socket(io);
  boost::system::error_code ec;
  socket.connect(boost::asio::local::stream_protocol::endpoint(path), ec);
  if (ec) throw boost::system::system_error(ec, "Cannot connect to " + path);
  return std::make_unique<fw::util::asio_stream_socket_wrapper_t>(std::move(socket));
}

} // namespace fw::service
