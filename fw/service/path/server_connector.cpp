#include "fw/util/configuration.hpp"
#include "fw/service/path/server_connector.hpp"
#include "fw/util/system_error.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include <boost/system/system_error.hpp>

#include "fw/net/security_option.hpp"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {

namespace {

const std::string prefix = "Server connector: ";

using fw::util::errno_code;

void fail(const boost::system::error_code &error, const std::string &step) {
  throw boost::system::system_error(error, prefix + step);
}

void set_option(int fd, int level, int option, const void *value, socklen_t size, const char *step) {
  if (::setsockopt(fd, level, option, value, size) != 0) fail(errno_code(), step);
}

} // namespace

server_connector_t::server_connector_t(boost::asio::io_context &io, const fw::configuration_t &config,
                                       const marks_t &marks, std::uint64_t limit)
    : io_(io), config_(config), marks_(marks), limit_(limit) {}

server_connector_t::~server_connector_t() = default;

void server_connector_t::start() {
  const bool wanted = config_.process_ip_security_option();
  if (!started_) {
    started_ = true;
    ip_security_option_ = wanted;
  } else if (wanted != ip_security_option_) {
    throw std::runtime_error(std::string("Cannot ") + (ip_security_option_ ? "stop" : "start") +
                             " processing ip security option");
  }
  for (unsigned direction = 0; direction < 3; ++direction)
    socket_marks_[direction] = marks_.divert_mark(direction) | marks_.server_packets_mark();
}

server_connector_t::handle_t server_connector_t::connect(const fw::net::endpoint_t &server,
                                                         const std::uint8_t *security_option,
                                                         const std::optional<boost::asio::ip::address> &bind_address,
                                                         unsigned direction, handler_t handler) {
  auto connection = std::make_shared<connection_t>(io_);
  connection->handler_ = std::move(handler);
  handle_t handle = connection;
  try {
    prepare(*connection, server.address().is_v6(), security_option, bind_address, direction);
  } catch (const boost::system::system_error &e) {
    abort(std::move(connection), e);
    return handle;
  }

  connections_.push_back(connection);
  connection->position_ = std::prev(connections_.end());
  connection->listed_ = true;

  if (connections_.size() >= limit_) {
    MV_LOG(Info, prefix + "exceeded the limit of " + std::to_string(limit_) + " open files; drop oldest connection");
    auto oldest = remove(*connections_.front());
    auto pushed_out = std::move(oldest->handler_);
    oldest.reset(); // closes its socket
    pushed_out(boost::system::error_code(ETIMEDOUT, boost::system::system_category()), fw::util::scoped_fd_t());
    if (!connection->listed_) return handle; // the new attempt itself was the one pushed out
  }

  connection->socket_.async_connect(server, connection->wrap([this, raw = connection.get()](
                                                                 const boost::system::error_code &result) {
    completed(*raw, result);
  }));

  if (config_.process_ip_security_option()) register_endpoints(*connection, server);
  return handle;
}

// Opens the socket and sets its options; a failure raises the "Server connector: " error of the step.
void server_connector_t::prepare(connection_t &connection, bool ipv6, const std::uint8_t *security_option,
                                 const std::optional<boost::asio::ip::address> &bind_address, unsigned direction) {
  boost::system::error_code error;
  connection.socket_.open(ipv6 ? boost::asio::ip::tcp::v6() : boost::asio::ip::tcp::v4(), error);
  if (error) fail(error, "cannot open socket");
  const int fd = connection.socket_.native_handle();
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);

  const std::uint32_t mark = direction < 3 ? socket_marks_[direction] : 0;
  set_option(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark, "setsockopt(SO_MARK) failed");

  if (config_.process_ip_security_option()) {
    if (security_option && !ipv6) { // an IPv6 connection has no IP options
      const std::size_t length = fw::net::option_length(security_option);
      set_option(fd, IPPROTO_IP, IP_OPTIONS, security_option, static_cast<socklen_t>(length),
                 "setsockopt(IP_OPTIONS) failed");
      connection.security_option_.assign(security_option, security_option + length);
    } else {
      connection.security_option_.assign(std::begin(fw::net::default_security_option),
                                         std::end(fw::net::default_security_option));
    }
  }

  if (bind_address) {
    const int one = 1;
    if (ipv6)
      set_option(fd, SOL_IPV6, IPV6_TRANSPARENT, &one, sizeof one, "setsockopt(IPV6_TRANSPARENT) failed");
    else
      set_option(fd, SOL_IP, IP_TRANSPARENT, &one, sizeof one, "setsockopt(IP_TRANSPARENT) failed");
    set_option(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one, "setsockopt(SO_REUSEADDR) failed");
    connection.socket_.bind(fw::net::endpoint_t(*bind_address, 0), error);
    if (error) fail(error, "bind failed");
  }
}

// An attempt that could not be made costs its connection only: the handler gets the error at once.
void server_connector_t::abort(std::shared_ptr<connection_t> connection, const boost::system::system_error &error) {
  failure_log_.log(mv::log::Warning, [&] { return mv::util::exception_message(error) + "; connection rejected"; });
  auto handler = std::move(connection->handler_);
  connection.reset(); // closes its socket, its completion does nothing
  handler(error.code(), fw::util::scoped_fd_t());
}

void server_connector_t::register_endpoints(connection_t &connection, const fw::net::endpoint_t &server) {
  boost::system::error_code error;
  const auto local = connection.socket_.local_endpoint(error);
  if (error || local.address().is_unspecified() || local.port() == 0) {
    // The connect failed at once (a broadcast or unroutable server, for instance): its completion,
    // already on its way, reports why.
    MV_LOG(Debug, prefix + "no local endpoint for the connection to " + fw::net::to_string(server));
    return;
  }
  const auto [position, added] = by_endpoints_.emplace(key_t{local, server}, &connection);
  if (added) connection.endpoints_ = position;
}

void server_connector_t::cancel(const handle_t &handle) {
  if (auto connection = handle.lock(); connection && connection->listed_) remove(*connection);
}

const server_connector_t::connection_t *server_connector_t::find(const fw::net::endpoint_t &local,
                                                                 const fw::net::endpoint_t &server) const {
  const auto found = by_endpoints_.find(key_t{local, server});
  return found == by_endpoints_.end() ? nullptr : found->second;
}

bool server_connector_t::security_option_matches(const connection_t &connection, const std::uint8_t *option) {
  const auto &sent = connection.security_option_;
  return fw::net::security_options_match(sent.empty() ? nullptr : sent.data(), option);
}

std::shared_ptr<server_connector_t::connection_t> server_connector_t::remove(connection_t &connection) {
  auto owned = std::move(*connection.position_);
  connections_.erase(connection.position_);
  connection.listed_ = false;
  if (connection.endpoints_) {
    by_endpoints_.erase(*connection.endpoints_);
    connection.endpoints_.reset();
  }
  return owned;
}

void server_connector_t::completed(connection_t &connection, const boost::system::error_code &error) {
  auto owned = remove(connection);
  auto handler = std::move(owned->handler_);
  if (error) {
    owned.reset();
    handler(error, fw::util::scoped_fd_t());
    return;
  }
  const int duplicate = ::fcntl(owned->socket_.native_handle(), F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) {
    const boost::system::system_error failure(errno_code(), prefix + "dup failed");
    owned->handler_ = std::move(handler);
    return abort(std::move(owned), failure);
  }
  owned.reset(); // the attempt's own descriptor closes with it
  handler(error, fw::util::scoped_fd_t(duplicate));
}

} // namespace fw::service
