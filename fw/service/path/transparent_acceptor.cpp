#include "fw/util/configuration.hpp"
#include "fw/service/path/transparent_acceptor.hpp"
#include "fw/util/system_error.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>

#include "fw/util/ipv6.hpp"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {

namespace {

const std::string prefix = "Transparent acceptor: ";

using fw::util::errno_code;

void set_int_option(int fd, int level, int option, int value, const char *failure) {
  if (::setsockopt(fd, level, option, &value, sizeof value) != 0)
    throw boost::system::system_error(errno_code(), prefix + failure);
}

} // namespace

transparent_acceptor_t::transparent_acceptor_t(boost::asio::io_context &io, delegate_t &delegate,
                                               const fw::configuration_t &config, const marks_t &marks, bool ipv6)
    : delegate_(delegate), config_(config), marks_(marks), acceptor_(io), ipv6_(ipv6), acceptor_ipv6_(io), retry_(io),
      retry_ipv6_(io) {}

transparent_acceptor_t::~transparent_acceptor_t() {
  abandon();
  retry_.cancel();
  retry_ipv6_.cancel();
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  acceptor_ipv6_.close(ignored);
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
    // The IPv6 socket follows the IPv4 one (same port, same cancellation flag).
    acceptor_ipv6_.close(error);
    local_endpoint_ipv6_.reset();
    abandon();
    retry_.cancel();
    retry_ipv6_.cancel();
  }
  local_endpoint_ = fw::net::endpoint_t();
  open(acceptor_, wanted);
  if (!reserve_) reserve_ = fw::util::scoped_fd_t(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  MV_LOG(Debug, prefix + "listening at " + fw::net::to_string(local_endpoint_));
  accept(acceptor_);
  open_ipv6();
}

void transparent_acceptor_t::open_ipv6() {
  if (!ipv6_) return;
  const fw::net::endpoint_t wanted = fw::util::ipv6_transparent_endpoint(local_endpoint_);
  try {
    open(acceptor_ipv6_, wanted);
  } catch (const std::exception &e) {
    // The text names the failed step after the prefix.
    MV_LOG(Info, mv::util::exception_message(e) + "; no IPv6 listener: diverting IPv4 connections only");
    return;
  }
  local_endpoint_ipv6_ = acceptor_ipv6_.local_endpoint();
  MV_LOG(Debug, prefix + "listening at " + fw::net::to_string(*local_endpoint_ipv6_));
  accept(acceptor_ipv6_);
}

void transparent_acceptor_t::open(acceptor_t &acceptor, const fw::net::endpoint_t &endpoint) {
  const bool ipv6 = endpoint.address().is_v6();
  boost::system::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (error) throw boost::system::system_error(error, prefix + "open failed");
  ::fcntl(acceptor.native_handle(), F_SETFD, FD_CLOEXEC);
  try {
    const int fd = acceptor.native_handle();
    set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1, "cannot set SO_REUSEADDR");
    if (ipv6)
      set_int_option(fd, SOL_IPV6, IPV6_TRANSPARENT, 1, "cannot set IPV6_TRANSPARENT");
    else
      set_int_option(fd, SOL_IP, IP_TRANSPARENT, 1, "cannot set IP_TRANSPARENT");
    set_int_option(fd, SOL_SOCKET, SO_MARK,
                   static_cast<int>(marks_.client_packets_mark() | marks_.server_packets_mark()),
                   "cannot set SO_MARK");
    acceptor.bind(endpoint, error);
    if (error) throw boost::system::system_error(error, prefix + "bind to " + fw::net::to_string(endpoint) + " failed");
    acceptor.listen(128, error);
    if (error) throw boost::system::system_error(error, prefix + "listen failed");
    const auto bound = acceptor.local_endpoint(error);
    if (error) throw boost::system::system_error(error, prefix + "getsockname");
    if (!ipv6) local_endpoint_ = bound;
  } catch (...) {
    // A half-opened socket would count as open at the next start.
    boost::system::error_code ignored;
    acceptor.close(ignored);
    throw;
  }
}

void transparent_acceptor_t::accept(acceptor_t &acceptor) {
  // Each accept receives a socket of its own: a completion abandoned by a reopen only closes it.
  acceptor.async_accept(wrap([this, &acceptor](const boost::system::error_code &error, boost::asio::ip::tcp::socket socket) {
    accepted(acceptor, error, std::move(socket));
  }));
}

void transparent_acceptor_t::accepted(acceptor_t &acceptor, const boost::system::error_code &error,
                                      boost::asio::ip::tcp::socket socket) {
  if (error) return accept_failed(acceptor, error);
  try {
    hand_over(socket);
  } catch (const boost::system::system_error &e) {
    // The client went away, or its socket could not be taken over: that connection is lost (the
    // socket closes with this handler), and accepting goes on.
    if (e.code().value() == ENOTCONN && e.code().category() == boost::system::system_category())
      MV_LOG(Debug, prefix + mv::util::exception_message(e));
    else
      failure_log_.log(mv::log::Warning, [&] { return mv::util::exception_message(e) + "; connection dropped"; });
  }
  accept(acceptor);
}

void transparent_acceptor_t::accept_failed(acceptor_t &acceptor, const boost::system::error_code &error) {
  failure_log_.log(mv::log::Warning, [&] { return prefix + "accept failed: " + error.message(); });
  const bool out_of_descriptors = error == boost::system::errc::too_many_files_open ||
                                  error == boost::system::errc::too_many_files_open_in_system;
  if (!out_of_descriptors) return accept(acceptor);
  // Without a free descriptor every accept fails at once, a connection waiting or not. The reserve
  // descriptor makes room to take the waiting connection and close it, so that it costs that client
  // only; the next attempt waits until another connection is there.
  if (!reserve_) reserve_ = fw::util::scoped_fd_t(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (reserve_) {
    reserve_.reset();
    const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    reserve_ = fw::util::scoped_fd_t(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    acceptor.async_wait(boost::asio::socket_base::wait_read,
                        wrap([this, &acceptor](const boost::system::error_code &) { accept(acceptor); }));
    return;
  }
  // Not even room for that: try again after a pause rather than spinning.
  auto &retry = &acceptor == &acceptor_ ? retry_ : retry_ipv6_;
  retry.expires_after(std::chrono::milliseconds(100));
  retry.async_wait(wrap([this, &acceptor](const boost::system::error_code &) { accept(acceptor); }));
}

void transparent_acceptor_t::hand_over(boost::asio::ip::tcp::socket &socket) {
  boost::system::error_code error;
  const auto client = socket.remote_endpoint(error);
  if (error) throw get_endpoint_error_t(error, prefix + "getpeername failed");
  const auto server = socket.local_endpoint(error);
  if (error) throw get_endpoint_error_t(error, prefix + "getsockname failed");
  const int duplicate = ::fcntl(socket.native_handle(), F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) throw boost::system::system_error(errno_code(), prefix + "dup failed");
  fw::util::scoped_fd_t owned(duplicate);
  socket.close(error);
  if (error) throw boost::system::system_error(error, "close");
  delegate_.new_client_socket(client, server, std::move(owned));
}

} // namespace fw::service
