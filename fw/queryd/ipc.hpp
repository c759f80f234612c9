#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "error.pb.h"
#include "fw/util/basic_ipc_link.hpp"
#include "fw/util/stream_socket.hpp"
#include "queryd_client_ipc.pb.h"

namespace fw::queryd {

// The framed channel to QueryD: sends lp.ClientMessage requests and decodes every lp.ServerMessage into
// one call of the delegate. Malformed or inconsistent answers and link failures are all reported as a
// link failure; the link is dead afterwards and the delegate may destroy this object inside any call.
class ipc_t final : private fw::util::ipc_link_t::delegate_t {
public:
  class delegate_t {
  public:
    virtual ~delegate_t() = default;
    virtual void on_lookup_response(std::uint32_t serial, std::vector<std::string> data) = 0;
    virtual void on_lookup_error(std::uint32_t serial, const mv::Error &error) = 0;
    virtual void on_check_response(std::uint32_t serial, bool result) = 0;
    virtual void on_check_error(std::uint32_t serial, const mv::Error &error) = 0;
    virtual void on_link_error(std::exception_ptr error) = 0;
  };

  ipc_t(delegate_t &delegate, std::unique_ptr<fw::util::stream_socket_t> stream);
  ~ipc_t();
  ipc_t(const ipc_t &) = delete;
  ipc_t &operator=(const ipc_t &) = delete;

  void send(const lp::ClientMessage &message);

private:
  void on_message(const std::uint8_t *data, std::uint32_t size) override;
  void on_error(std::exception_ptr error) override;

  delegate_t *delegate_;
  std::unique_ptr<fw::util::ipc_link_t> link_;
};

} // namespace fw::queryd
