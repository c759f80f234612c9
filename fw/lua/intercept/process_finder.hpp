#pragma once

#include <exception>
#include <functional>

#include "fw/net/endpoint.hpp"

namespace fw::lua::intercept {

// Where a session asks for the PID of the process that owns a connection's local socket.
class process_finder_t {
public:
  using endpoint_t = fw::net::endpoint_t;
  // Either a null error and the PID, or an error. Runs on the event loop, never inside get_pid.
  using handler_t = std::function<void(std::exception_ptr error, int pid)>;

  virtual void get_pid(const endpoint_t &src, const endpoint_t &dst, handler_t handler) = 0;

protected:
  ~process_finder_t() = default;
};

} // namespace fw::lua::intercept
