#include "fw/service/transparent_acceptor.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {

namespace {

const std::string prefix = "Transparent acceptor: ";
constexpr int ip_transparent = 19; // IP_TRANSPARENT at level SOL_IP

boost::system::error_code last_error() { return {errno, boost::system::system_category()}; }

void set_int_option(int fd, int level, int option, int value, const char *failure) {
  if (::setsockopt(fd, level, option, &value, sizeof value) != 0)
    throw boost::system::system_error(last_error(), prefix + failure);
}

} // namespace

transparent_acceptor_t::transparent_acceptor_t(boost::asio::io_context &io, delegate_t &delegate,
                                               const mv::DarorUvurarevUzuvid &config, const marks_t &marks)
    : delegate_(delegate), config_(config), marks_(marks), acceptor_(io) {}

transparent_acceptor_t::~transparent_acceptor_t() {
  abandon();
  boost::system::error_code ignored;
  acceptor_.close(ignored);
}

void transparent_acceptor_t::start() {
  const auto &listen = config_.tproxy_listen_address();
  in_addr address{};
  if (::inet_pton(AF_INET, listen.address().c_str(), &address) != 1)
    throw std::runtime_error("invalid IPv4 address: " + listen.address());
  if (listen.port() >= 65536) throw std::runtime_error("invalid port: " + std::to_string(listen.port()));
  const fw::net::endpoint_t wanted(boost::asio::ip::address_v4(ntohl(address.s_addr)),
                                   static_cast<unsigned short>(listen.port()));

  if (acceptor_.is_open()) {
    if (wanted == local_endpoint_) return;
    boost::system::error_code error;
    acceptor_.close(error);
    if (error) throw boost::system::system_error(error, "close");
    abandon();
  }
  open(wanted);
  MV_LOG(Debug, prefix + "listening at " + fw::net::to_string(local_endpoint_));
  accept();
}

void transparent_acceptor_t::open(const fw::net::endpoint_t &endpoint) {
  local_endpoint_ = fw::net::endpoint_t();
  boost::system::error_code error;
  acceptor_.open(boost::asio::ip::tcp::v4(), error);
  if (error) throw boost::system::system_error(error, prefix + "open failed");
  ::fcntl(acceptor_.native_handle(), F_SETFD, FD_CLOEXEC);
  try {
    const int fd = acceptor_.native_handle();
    set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1, "cannot set SO_REUSEADDR");
    set_int_option(fd, SOL_IP, ip_transparent, 1, "cannot set IP_TRANSPARENT");
    set_int_option(fd, SOL_SOCKET, SO_MARK,
                   static_cast<int>(marks_.client_packets_mark() | marks_.server_packets_mark()),
                   "cannot set SO_MARK");
    acceptor_.bind(endpoint, error);
    if (error) throw boost::system::system_error(error, prefix + "bind to " + fw::net::to_string(endpoint) + " failed");
    acceptor_.listen(128, error);
    if (error) throw boost::system::system_error(error, prefix + "listen failed");
    const auto bound = acceptor_.local_endpoint(error);
    if (error) throw boost::system::system_error(error, prefix + "getsockname");
    local_endpoint_ = bound;
  } catch (...) {
    // A half-opened socket would count as open at the next start.
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    throw;
  }
}

void transparent_acceptor_t::accept() {
  // Each accept receives a socket of its own: a completion abandoned by a reopen only closes it.
  acceptor_.async_accept(wrap([this](const boost::system::error_code &error, boost::asio::ip::tcp::socket socket) {
    accepted(error, std::move(socket));
  }));
}

void transparent_acceptor_t::accepted(const boost::system::error_code &error, boost::asio::ip::tcp::socket socket) {
  if (error) throw boost::system::system_error(error, prefix + "accept failed");
  try {
    hand_over(socket);
  } catch (const get_endpoint_error_t &e) {
    if (e.code().value() != ENOTCONN || e.code().category() != boost::system::system_category()) throw;
    MV_LOG(Debug, prefix + mv::util::exception_message(e));
    boost::system::error_code close_error;
    socket.close(close_error);
    if (close_error) throw boost::system::system_error(close_error, "Cannot close socket");
  }
  accept();
}

void transparent_acceptor_t::hand_over(boost::asio::ip::tcp::socket &socket) {
  boost::system::error_code error;
  const auto client = socket.remote_endpoint(error);
  if (error) throw get_endpoint_error_t(error, prefix + "getpeername failed");
  const auto server = socket.local_endpoint(error);
  if (error) throw get_endpoint_error_t(error, prefix + "getsockname failed");
  const int duplicate = ::fcntl(socket.native_handle(), F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) throw boost::system::system_error(last_error(), prefix + "dup failed");
  fw::util::scoped_fd_t owned(duplicate);
  socket.close(error);
  if (error) throw boost::system::system_error(error, "close");
  delegate_.new_client_socket(client, server, std::move(owned));
}

} // namespace fw::service
