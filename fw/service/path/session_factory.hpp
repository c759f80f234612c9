#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "fw/net/endpoint.hpp"

namespace fw::service {

// Where the connection diverter gets its verdicts: one session per new connection, which reports one
// result later, on the event loop. The Lua hook host serves it in the daemon.
class session_factory_t {
public:
  // Check is the fallback for every failure.
  enum class verdict_t : int { check = 0, pass = 1, drop = 2, reject = 3 };

  // What is known of a new connection when it is intercepted.
  struct connection_info_t {
    fw::net::endpoint_t src;
    fw::net::endpoint_t dst;
    std::string divert; // "output", "input" or "forward"
    std::optional<std::uint32_t> iface_in;
    std::optional<std::uint32_t> iface_out;
    std::optional<std::uint32_t> uid;
    std::optional<std::uint32_t> gid;
  };

  // What the hook learnt about the originator; the scanning gateway needs it for checked connections.
  struct artifacts_t {
    std::optional<std::string> user;
    std::optional<std::string> exe_path;
  };

  // Called once: a null error and a verdict, or an error (the verdict is then meaningless).
  using result_handler_t = std::function<void(std::exception_ptr, verdict_t, artifacts_t)>;

  class session_t {
  public:
    // Destroying a session before its result arrived abandons it: the handler is never called.
    virtual ~session_t() = default;
    // Installs the one-shot handler; a result already there is delivered at once, but never inside
    // this call (it is posted to the event loop).
    virtual void set_result_handler(result_handler_t handler) = 0;
  };

  // Starts a session for the connection; id prefixes every log line of the session.
  virtual std::unique_ptr<session_t> make_session(const connection_info_t &info, const std::string &id) = 0;

protected:
  ~session_factory_t() = default;
};

} // namespace fw::service
