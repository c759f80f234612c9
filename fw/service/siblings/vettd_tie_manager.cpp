#include "fw/util/configuration.hpp"
#include "fw/service/siblings/vettd_tie_manager.hpp"
#include "fw/util/system_error.hpp"

#include <cerrno>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "fw/hubd/tie.hpp"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {

namespace {

constexpr const char *prefix = "VettD tie manager: ";

// The longest path a unix-domain socket address holds (sun_path less its terminating zero).

} // namespace

vettd_tie_manager_t::vettd_tie_manager_t(boost::asio::io_context &io, const fw::configuration_t &config,
                                         fw::hubd::tie_t &hubd, std::size_t waiting_limit)
    : config_(config), hubd_(hubd), connecting_(io), waiting_limit_(waiting_limit) {}

vettd_tie_manager_t::~vettd_tie_manager_t() { abandon(); }

fw::vettd::tie_t::inspect_settings_t vettd_tie_manager_t::inspect_settings(const fw::configuration_t &config) {
  fw::vettd::tie_t::inspect_settings_t s;
  s.http = config.inspect_http();
  s.pop3 = config.inspect_pop3();
  s.imap = config.inspect_imap();
  s.smtp = config.inspect_smtp();
  s.ftp = config.inspect_ftp();
  return s;
}

fw::vettd::tie_t::scan_settings_t vettd_tie_manager_t::scan_settings(const fw::configuration_t &config) {
  fw::vettd::tie_t::scan_settings_t s;
  s.scan_timeout = config.scan_timeout();
  s.heuristic_analysis = config.heuristic_analysis();
  s.packer_max_level = config.packer_max_level();
  s.archive_max_level = config.archive_max_level();
  s.mail_max_level = config.mail_max_level();
  s.container_max_level = config.container_max_level();
  s.max_compression_ratio = config.max_compression_ratio();
  return s;
}

void vettd_tie_manager_t::start() {
  if (tie_) {
    tie_->set_inspect_settings(inspect_settings(config_));
    tie_->set_scan_settings(scan_settings(config_));
    tie_->set_block_unchecked(config_.block_unchecked());
    return;
  }
  request_vettd();
}

void vettd_tie_manager_t::new_socket_pair(endpoint_socket_t server, endpoint_socket_t client, const mv::RuleSet &rules) {
  MV_LOG(Debug, std::string(prefix) + "new socket pair: " + fw::net::to_string(client.endpoint) + " (fd " +
                    std::to_string(client.socket.get()) + ") -> " + fw::net::to_string(server.endpoint) + " (fd " +
                    std::to_string(server.socket.get()) + ")");
  if (waiting() >= waiting_limit_) {
    // VettD is missing or not taking pairs: the new pair is closed (both sockets with it) rather than
    // letting descriptors pile up.
    overflow_log_.log(mv::log::Warning, [&] {
      return std::string(prefix) + std::to_string(waiting()) + " socket pairs are waiting for VettD; closing " +
             fw::net::to_string(client.endpoint) + " -> " + fw::net::to_string(server.endpoint);
    });
    return;
  }
  waiting_.push_back({std::move(server.socket), std::move(client.socket), rules});
  if (tie_)
    flush();
  else if (waiting_.size() == 1)
    request_vettd();
}

// The tie may fail and be destroyed inside send; the loop stops then, and the failure has closed
// whatever was still waiting.
void vettd_tie_manager_t::flush() {
  while (!waiting_.empty() && tie_) {
    waiting_pair_t pair = std::move(waiting_.front());
    waiting_.pop_front();
    tie_->send(pair.rules, std::move(pair.server), std::move(pair.client));
  }
}

void vettd_tie_manager_t::request_vettd() {
  if (requesting_) return;
  requesting_ = true;
  MV_LOG(Debug, std::string(prefix) + "requesting VettD");
  hubd_.get_vettd(wrap([this](const boost::system::error_code &ec, const std::string &path) { on_vettd(ec, path); }));
}

// Runs inside the HubD tie's frame handling: what it throws ends the daemon through the HubD tie.
void vettd_tie_manager_t::on_vettd(const boost::system::error_code &ec, const std::string &path) {
  if (ec) {
    requesting_ = false;
    throw boost::system::system_error(ec, "cannot get VettD");
  }
  boost::system::error_code error;
  if (connecting_.is_open()) connecting_.close(error);
  connecting_.open(boost::asio::local::stream_protocol(), error);
  if (!error) ::fcntl(connecting_.native_handle(), F_SETFD, FD_CLOEXEC);
  if (error) {
    requesting_ = false;
    throw boost::system::system_error(error, "cannot open socket");
  }
  MV_LOG(Debug, std::string(prefix) + "connecting to " + path);
  if (path.size() > fw::util::max_unix_path_length) {
    requesting_ = false;
    connecting_.close(error);
    throw boost::system::system_error(ENAMETOOLONG, boost::system::system_category());
  }
  connecting_.async_connect(boost::asio::local::stream_protocol::endpoint(path),
                            wrap([this, path](const boost::system::error_code &ec) { on_connected(ec, path); }));
}

// Runs on the event loop: a failed connect leaves it and ends the daemon.
void vettd_tie_manager_t::on_connected(const boost::system::error_code &result, const std::string &path) {
  boost::system::error_code ec = result;
  // A unix-domain connect that VettD's full queue of connections refuses fails with EAGAIN, and the
  // unconnected socket then polls writable with no pending error, so asio reports it complete. A socket
  // without a peer is that refusal, not a tie.
  if (!ec) {
    boost::system::error_code no_peer;
    connecting_.remote_endpoint(no_peer);
    if (no_peer) ec = boost::asio::error::would_block;
  }
  if (ec) {
    requesting_ = false;
    boost::system::error_code ignored;
    connecting_.close(ignored);
    throw boost::system::system_error(ec, "cannot connect to " + path);
  }
  MV_LOG(Debug, std::string(prefix) + "connected to VettD");
  requesting_ = false;
  tie_ = std::make_unique<fw::vettd::tie_t>(std::move(connecting_), inspect_settings(config_), scan_settings(config_),
                                            config_.block_unchecked());
  tie_->start(*this);
  flush();
}

void vettd_tie_manager_t::on_idle() {}

void vettd_tie_manager_t::on_closed() {
  MV_LOG(Debug, std::string(prefix) + "tie closed");
  tie_.reset();
}

void vettd_tie_manager_t::on_error(std::exception_ptr error) {
  MV_LOG(Error, std::string(prefix) + mv::util::describe_exception(error));
  waiting_.clear();
  tie_.reset();
}

} // namespace fw::service
