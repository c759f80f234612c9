#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

#include "fw/util/configuration.hpp"
#include "fw/util/basic_ipc_link.hpp"
#include "fw/util/stream_socket.hpp"
#include "hubd_linux_firewall_ipc.pb.h"

namespace fw::hubd {

// The daemon's end of the channel to HubD: requests go out as Firewall2HubdMessage frames, and every
// response answers the oldest open request of its kind. A protocol breach or a link failure is reported
// once to the delegate, after the link has been destroyed.
class tie_t final : private fw::util::ipc_link_t::delegate_t {
public:
  class delegate_t {
  public:
    virtual void on_error(std::exception_ptr error) = 0;

  protected:
    ~delegate_t() = default;
  };

  using config_handler_t = std::function<void(const fw::configuration_t &config, std::uint32_t revision)>;
  using path_handler_t = std::function<void(const boost::system::error_code &error, const std::string &path)>;

  tie_t(delegate_t &delegate, std::unique_ptr<fw::util::stream_socket_t> stream);
  ~tie_t();
  tie_t(const tie_t &) = delete;
  tie_t &operator=(const tie_t &) = delete;

  void get_config(config_handler_t handler);
  void get_vettd(path_handler_t handler);
  void get_queryd(path_handler_t handler);
  void send_info(const mv::RuvidOrederidAppInfo &info, std::uint32_t revision);

private:
  void on_message(const std::uint8_t *data, std::uint32_t size) override;
  void on_error(std::exception_ptr error) override;

  void handle(const mv::Hubd2FirewallMessage &message);
  void handle_path(const mv::Hubd2FirewallMessage &message, std::deque<path_handler_t> &requests);
  void send(const mv::Firewall2HubdMessage &message);

  delegate_t *delegate_;
  std::unique_ptr<fw::util::ipc_link_t> link_;
  std::deque<config_handler_t> config_requests_;
  std::deque<path_handler_t> vettd_requests_;
  std::deque<path_handler_t> queryd_requests_;
};

} // namespace fw::hubd
