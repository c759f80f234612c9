#include "fw/hubd/tie.hpp"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "fw/util/tagged_message.hpp"
#include "mv/log/log.hpp"
#include "mv/util/error_code.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::hubd {

namespace {

using in_t = mv::Hubd2FirewallMessage;
using out_t = mv::Firewall2HubdMessage;

[[noreturn]] void missing_field(const in_t &message, const char *field) {
  throw mv::cf_exception_t(mv::make_error_code(mv::EC_PROTOCOL_VIOLATION),
                           "message " + in_t::descriptor()->full_name() + " tagged " + in_t::MessageTag_Name(message.tag()) +
                               " does not have field " + field + " set");
}

[[noreturn]] void unexpected(const in_t &message) {
  throw mv::cf_exception_t(mv::make_error_code(mv::EC_UNEXPECTED_MESSAGE), in_t::MessageTag_Name(message.tag()));
}

} // namespace

tie_t::tie_t(delegate_t &delegate, std::unique_ptr<fw::util::stream_socket_t> stream)
    : delegate_(&delegate), link_(std::make_unique<fw::util::ipc_link_t>(static_cast<fw::util::ipc_link_t::delegate_t &>(*this), std::move(stream))) {}

tie_t::~tie_t() {
  config_requests_.clear();
  vettd_requests_.clear();
  queryd_requests_.clear();
  link_.reset();
}

void tie_t::get_config(config_handler_t handler) {
  config_requests_.push_back(std::move(handler));
  out_t message;
  message.set_tag(out_t::GET_CONFIG_REQUEST);
  send(message);
}

void tie_t::get_vettd(path_handler_t handler) {
  vettd_requests_.push_back(std::move(handler));
  out_t message;
  message.set_tag(out_t::GET_VETTD_REQUEST);
  send(message);
}

void tie_t::get_queryd(path_handler_t handler) {
  queryd_requests_.push_back(std::move(handler));
  out_t message;
  message.set_tag(out_t::GET_QUERYD_REQUEST);
  send(message);
}

void tie_t::send_info(const mv::RuvidOrederidAppInfo &info, std::uint32_t revision) {
  out_t message;
  message.set_tag(out_t::MY_INFO_NOTIFICATION);
  message.set_config_revision(revision);
  *message.mutable_info() = info;
  send(message);
}

void tie_t::send(const out_t &message) {
  MV_LOG(Debug, "HubD tie: sending message: " + message.ShortDebugString());
  if (!link_) return; // the failure has been reported already
  const std::size_t size = message.ByteSizeLong();
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size]);
  message.SerializeWithCachedSizesToArray(buffer.get());
  link_->send(std::move(buffer), static_cast<std::uint32_t>(size));
}

void tie_t::on_message(const std::uint8_t *data, std::uint32_t size) {
  try {
    in_t message;
    fw::util::parse_tagged(data, size, message);
    MV_LOG(Debug, "HubD tie: received message: " + message.ShortDebugString());
    handle(message);
  } catch (const std::runtime_error &) {
    // Breaches and failures of the handlers end the tie; error codes thrown as values pass through.
    on_error(std::current_exception());
  }
}

void tie_t::handle(const in_t &message) {
  switch (message.tag()) {
  case in_t::GET_CONFIG_RESPONSE: {
    if (!message.has_config_revision()) missing_field(message, "config_revision");
    if (!message.has_config()) missing_field(message, "config");
    if (message.has_control() && message.control().suspended()) {
      MV_LOG(Notice, "Component suspended, exiting...");
      throw mv::EC_APP_SUSPENDED;
    }
    if (config_requests_.empty()) unexpected(message);
    auto handler = std::move(config_requests_.front());
    config_requests_.pop_front();
    handler(message.config(), message.config_revision());
    return;
  }
  case in_t::GET_VETTD_RESPONSE:
    return handle_path(message, vettd_requests_);
  case in_t::GET_QUERYD_RESPONSE:
    return handle_path(message, queryd_requests_);
  }
  fw::util::throw_unknown_tag<in_t>(message.tag());
}

void tie_t::handle_path(const in_t &message, std::deque<path_handler_t> &requests) {
  if (requests.empty()) unexpected(message);
  if (!message.has_error() && !message.has_socket_path()) missing_field(message, "socket_path");
  auto handler = std::move(requests.front());
  requests.pop_front();
  if (message.has_error())
    handler(mv::make_error_code(message.error().code()), std::string());
  else
    handler(boost::system::error_code(), message.socket_path());
}

void tie_t::on_error(std::exception_ptr error) {
  link_.reset();
  delegate_->on_error(std::move(error));
}

} // namespace fw::hubd
