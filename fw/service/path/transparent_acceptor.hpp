#pragma once

#include <optional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "fw/net/endpoint.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/util/log_throttle.hpp"
#include "fw/util/scoped_fd.hpp"
#include "fw/util/service.hpp"
#include "fw/util/configuration.hpp"
#include "mv/util/callback_wrapper.hpp"

namespace fw::service {

// The transparent listening socket that receives diverted clients. A transparent socket accepts
// connections to any address the kernel steers to it, and reports the address the client meant as
// the accepted socket's local address. Beside the configured IPv4 address it listens on the IPv6
// loopback with the same port, for IPv6 connections, unless IPv6 is off; an IPv6 socket that cannot be
// opened costs one Info line and leaves the IPv4 socket alone. A failure to accept or take over a connection costs that
// connection only (throttled Warning); when descriptors run out, a reserve descriptor makes room to take
// the waiting connection and close it.
class transparent_acceptor_t : public fw::util::service_t, private mv::util::callback_wrapper_t {
public:
  class delegate_t {
  public:
    virtual ~delegate_t() = default;
    // Takes over an accepted client connection: the client's endpoint, the endpoint it meant to reach.
    virtual void new_client_socket(const fw::net::endpoint_t &client, const fw::net::endpoint_t &server,
                                   fw::util::scoped_fd_t socket) = 0;
  };

  // Reading an accepted socket's endpoints failed.
  class get_endpoint_error_t : public boost::system::system_error {
  public:
    using boost::system::system_error::system_error;
  };

  // ipv6: whether the daemon handles IPv6 at all (fw::util::ipv6_enabled()); without it no IPv6
  // socket is opened and nothing is logged about it.
  transparent_acceptor_t(boost::asio::io_context &io, delegate_t &delegate, const fw::configuration_t &config,
                         const marks_t &marks, bool ipv6 = true);
  ~transparent_acceptor_t() override;

  // Opens the listening socket at the configured address, or reopens it when the address changed.
  void start() override;

  // The address the socket is bound to (unspecified until the first start).
  const fw::net::endpoint_t &local_endpoint() const noexcept { return local_endpoint_; }
  // The address the IPv6 socket is bound to, [::1] and the same port; none while it is not listening.
  const std::optional<fw::net::endpoint_t> &local_endpoint_ipv6() const noexcept { return local_endpoint_ipv6_; }

private:
  using acceptor_t = boost::asio::ip::tcp::acceptor;

  void open(acceptor_t &acceptor, const fw::net::endpoint_t &endpoint);
  void open_ipv6();
  void accept(acceptor_t &acceptor);
  void accepted(acceptor_t &acceptor, const boost::system::error_code &error, boost::asio::ip::tcp::socket socket);
  void accept_failed(acceptor_t &acceptor, const boost::system::error_code &error);
  void hand_over(boost::asio::ip::tcp::socket &socket);

  delegate_t &delegate_;
  const fw::configuration_t &config_;
  const marks_t &marks_;
  acceptor_t acceptor_;
  fw::net::endpoint_t local_endpoint_;
  bool ipv6_;
  acceptor_t acceptor_ipv6_;
  std::optional<fw::net::endpoint_t> local_endpoint_ipv6_;
  fw::util::scoped_fd_t reserve_; // closed to make room when descriptors run out
  boost::asio::steady_timer retry_, retry_ipv6_; // one per socket
  fw::util::log_throttle_t failure_log_;
};

} // namespace fw::service
