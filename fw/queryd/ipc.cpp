#include "fw/queryd/ipc.hpp"

#include <utility>

#include "fw/util/tagged_message.hpp"
#include "mv/log/log.hpp"
#include "mv/util/error_code.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::queryd {

namespace {

using in_t = lp::ServerMessage;

[[noreturn]] void missing_serial(const in_t &message) {
  throw mv::cf_exception_t(mv::make_error_code(mv::EC_PROTOCOL_VIOLATION),
                           "message " + in_t::descriptor()->full_name() + " tagged " +
                               in_t::ServerMessageTag_Name(message.tag()) + " does not have field serial set");
}

// Checks the answer's consistency; throws on a breach.
void validate(const in_t &message) {
  switch (message.tag()) {
  case in_t::LOOKUP_RESPONSE:
    if (!message.has_serial()) missing_serial(message);
    return;
  case in_t::CHECK_RESPONSE:
    if (!message.has_serial()) missing_serial(message);
    if (!message.has_result() && !message.has_error())
      throw mv::cf_exception_t(mv::make_error_code(mv::EC_PROTOCOL_VIOLATION),
                               "message " + in_t::descriptor()->full_name() + " tagged " +
                                   in_t::ServerMessageTag_Name(message.tag()) +
                                   " has neither result nor error fields set");
    return;
  }
  fw::util::throw_unknown_tag<in_t>(message.tag());
}

} // namespace

ipc_t::ipc_t(delegate_t &delegate, std::unique_ptr<fw::util::stream_socket_t> stream)
    : delegate_(&delegate),
      link_(std::make_unique<fw::util::ipc_link_t>(static_cast<fw::util::ipc_link_t::delegate_t &>(*this),
                                                   std::move(stream))) {}

ipc_t::~ipc_t() = default;

void ipc_t::send(const lp::ClientMessage &message) {
  MV_LOG(Debug, "QueryD: sending message: " + message.ShortDebugString());
  if (!link_) return; // the failure has been reported already
  const std::size_t size = message.ByteSizeLong();
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size]);
  message.SerializeWithCachedSizesToArray(buffer.get());
  link_->send(std::move(buffer), static_cast<std::uint32_t>(size));
}

void ipc_t::on_message(const std::uint8_t *data, std::uint32_t size) {
  in_t message;
  try {
    fw::util::parse_tagged(data, size, message);
    MV_LOG(Debug, "QueryD: received message: " + message.ShortDebugString());
    validate(message);
  } catch (const std::runtime_error &) {
    return on_error(std::current_exception());
  }
  // Each call below is the last thing done here: the delegate may destroy this object.
  const std::uint32_t serial = message.serial();
  if (message.tag() == in_t::LOOKUP_RESPONSE) {
    if (message.has_error()) return delegate_->on_lookup_error(serial, message.error());
    std::vector<std::string> data_items(std::make_move_iterator(message.mutable_data()->begin()),
                                        std::make_move_iterator(message.mutable_data()->end()));
    return delegate_->on_lookup_response(serial, std::move(data_items));
  }
  if (message.has_result()) return delegate_->on_check_response(serial, message.result());
  delegate_->on_check_error(serial, message.error());
}

void ipc_t::on_error(std::exception_ptr error) {
  link_.reset();
  delegate_->on_link_error(std::move(error));
}

} // namespace fw::queryd
