#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include "fw/net/endpoint.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/util/log_throttle.hpp"
#include "fw/util/scoped_fd.hpp"
#include "fw/util/service.hpp"
#include "fw/util/configuration.hpp"
#include "mv/util/callback_wrapper.hpp"

namespace fw::service {

// Opens the daemon's own connections to servers: marked so that their packets bypass interception,
// optionally bound to the client's address, optionally carrying the client's IP security option.
// Every attempt is kept until it completes; their number is bounded by the connection limit.
class server_connector_t : public fw::util::service_t {
public:
  // Called once: the error and no descriptor, or success and the connected socket.
  using handler_t = std::function<void(const boost::system::error_code &, fw::util::scoped_fd_t)>;

  class connection_t;
  // Names an attempt for cancel(); it expires when the attempt ends.
  using handle_t = std::weak_ptr<connection_t>;

  server_connector_t(boost::asio::io_context &io, const fw::configuration_t &config, const marks_t &marks,
                     std::uint64_t limit);
  ~server_connector_t() override;

  // Computes the socket marks; the security option processing cannot change after the first start.
  void start() override;

  // Starts connecting to the server for a client connection of the direction (0 output, 1 input,
  // 2 forward), IPv4 or IPv6 as the server's address is. The security option (or null) is the
  // client's and applies to IPv4 only; bind_address is the client's address when connecting
  // transparently. The outcome goes to the handler, normally later on the event loop;
  // at once for an attempt pushed out by the limit, and for one that could not be made (a socket call
  // failed, or the connect failed at once), which also gets a throttled Warning. Never raises for one
  // connection's failure.
  handle_t connect(const fw::net::endpoint_t &server, const std::uint8_t *security_option,
                   const std::optional<boost::asio::ip::address> &bind_address, unsigned direction,
                   handler_t handler);

  // Ends an attempt without calling its handler.
  void cancel(const handle_t &handle);

  // The attempt whose socket has this local endpoint and connects to this server (only while the
  // security option is processed), or null.
  const connection_t *find(const fw::net::endpoint_t &local, const fw::net::endpoint_t &server) const;

  // Whether an answer's security option (or null) matches the one the attempt was made with.
  static bool security_option_matches(const connection_t &connection, const std::uint8_t *option);

  std::size_t size() const noexcept { return connections_.size(); }

private:
  using key_t = std::pair<fw::net::endpoint_t, fw::net::endpoint_t>;
  using list_t = std::list<std::shared_ptr<connection_t>>;
  using map_t = std::map<key_t, connection_t *>;

  std::shared_ptr<connection_t> remove(connection_t &connection);
  void register_endpoints(connection_t &connection, const fw::net::endpoint_t &server);
  void completed(connection_t &connection, const boost::system::error_code &error);
  void prepare(connection_t &connection, bool ipv6, const std::uint8_t *security_option,
               const std::optional<boost::asio::ip::address> &bind_address, unsigned direction);
  void abort(std::shared_ptr<connection_t> connection, const boost::system::system_error &error);

  boost::asio::io_context &io_;
  const fw::configuration_t &config_;
  const marks_t &marks_;
  std::uint32_t socket_marks_[3] = {0, 0, 0};
  bool started_ = false;
  bool ip_security_option_ = false;
  list_t connections_; // oldest first
  map_t by_endpoints_;
  std::uint64_t limit_;
  fw::util::log_throttle_t failure_log_;
};

// One attempt in progress.
class server_connector_t::connection_t : private mv::util::callback_wrapper_t {
public:
  explicit connection_t(boost::asio::io_context &io) : socket_(io) {}
  const std::vector<std::uint8_t> &security_option() const noexcept { return security_option_; }

private:
  friend class server_connector_t;

  boost::asio::ip::tcp::socket socket_;
  handler_t handler_;
  std::vector<std::uint8_t> security_option_; // the option sent, or the default one; empty when not processed
  bool listed_ = false;
  list_t::iterator position_;
  std::optional<map_t::iterator> endpoints_;
};

} // namespace fw::service
