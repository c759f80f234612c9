#pragma once

#include <deque>
#include <exception>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

#include "fw/service/path/server_socket_pool.hpp"
#include "fw/util/log_throttle.hpp"
#include "fw/util/scoped_fd.hpp"
#include "fw/util/service.hpp"
#include "fw/vettd/tie.hpp"
#include "fw/util/configuration.hpp"
#include "mv/util/callback_wrapper.hpp"
#include "rules.pb.h"

namespace fw::hubd {
class tie_t;
}

namespace fw::service {

// Hands the socket pairs of checked connections to VettD. It asks HubD for VettD's socket path,
// connects, and keeps one tie; pairs that arrive while there is none wait and go out in order once
// it is up. Every start copies the scanning settings of the configuration into the tie. A tie that
// closes or fails once up costs the pairs in hand, never the daemon: the next pair asks HubD again.
// Not reaching VettD at all ends the daemon: HubD has no VettD, the socket path is too long, or the
// connect fails. At most waiting_limit pairs wait (in hand or queued on the tie, two descriptors each);
// beyond that the new pair is closed with a throttled Warning, so a VettD that is stuck cannot exhaust
// the descriptors.
class vettd_tie_manager_t : public fw::util::service_t,
                            public server_socket_pool_t::delegate_t,
                            private fw::vettd::tie_t::delegate_t,
                            private mv::util::callback_wrapper_t {
public:
  using endpoint_socket_t = server_socket_pool_t::endpoint_socket_t;

  // The daemon passes waiting_limit_for(its connection limit).
  static constexpr std::size_t default_waiting_limit = 256;
  // A quarter of the connection limit: with the pool and the connector at their limits (0.4 of the
  // descriptor limit each), pairs take at most the remaining fifth.
  static std::size_t waiting_limit_for(std::size_t connection_limit) noexcept {
    return connection_limit / 4 > 0 ? connection_limit / 4 : 1;
  }

  vettd_tie_manager_t(boost::asio::io_context &io, const fw::configuration_t &config, fw::hubd::tie_t &hubd,
                      std::size_t waiting_limit = default_waiting_limit);
  ~vettd_tie_manager_t() override;

  void start() override;

  // Takes over both sockets of a checked connection and sends them to VettD with the rule set, now or
  // once connected.
  void new_socket_pair(endpoint_socket_t server, endpoint_socket_t client, const mv::RuleSet &rules) override;

  bool connected() const noexcept { return tie_ != nullptr; }
  // Pairs in hand and frames not yet handed over on the tie.
  std::size_t waiting() const noexcept { return waiting_.size() + (tie_ ? tie_->queued() : 0); }

  static fw::vettd::tie_t::inspect_settings_t inspect_settings(const fw::configuration_t &config);
  static fw::vettd::tie_t::scan_settings_t scan_settings(const fw::configuration_t &config);

private:
  struct waiting_pair_t {
    fw::util::scoped_fd_t server;
    fw::util::scoped_fd_t client;
    mv::RuleSet rules;
  };

  void flush();
  void request_vettd();
  void on_vettd(const boost::system::error_code &ec, const std::string &path);
  void on_connected(const boost::system::error_code &result, const std::string &path);

  void on_idle() override;
  void on_closed() override;
  void on_error(std::exception_ptr error) override;

  const fw::configuration_t &config_;
  fw::hubd::tie_t &hubd_;
  boost::asio::local::stream_protocol::socket connecting_;
  std::unique_ptr<fw::vettd::tie_t> tie_;
  std::deque<waiting_pair_t> waiting_;
  bool requesting_ = false;
  std::size_t waiting_limit_;
  fw::util::log_throttle_t overflow_log_;
};

} // namespace fw::service
