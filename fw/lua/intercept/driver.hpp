#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include <boost/asio/io_context.hpp>

#include "fw/lua/intercept/artifacts.hpp"
#include "fw/lua/intercept/connection_info.hpp"
#include "fw/lua/intercept/verdict.hpp"
#include "mv/lua/coroutine.hpp"
#include "mv/lua/log.hpp"
#include "mv/lua/registry_ref.hpp"

namespace fw::lua::intercept {

// One session: runs the hook for one connection on a Lua thread of its own, with a context table as
// its only argument, and keeps the outcome (a verdict or an error, with the artifacts) for the result
// handler. Lines logged while the session's Lua code runs carry "Session " + id + ": ".
//
// Destroying the driver before its result exists abandons the session: the handler is never called
// and completions of its pending lookups do nothing.
class driver_t final : private mv::lua::coroutine_t {
public:
  // Called exactly once, on the event loop: a null error and the verdict, or an error (the verdict is
  // then meaningless). Artifacts come with both.
  using result_handler_t = std::function<void(std::exception_ptr error, verdict_t verdict, artifacts_t artifacts)>;

  // Compiles and runs the wrapper chunk, and stores the function it returns, which calls the hook and
  // gathers the artifacts, under "fw.lua.intercept.get_artifacts". Needs the module movri. Throws
  // std::runtime_error.
  static void install_wrapper(lua_State *L);

  // With the hook function on top of L's stack (it is popped): creates the thread, builds the context
  // for the connection and starts the hook. Throws std::runtime_error.
  driver_t(boost::asio::io_context &io, lua_State *L, const connection_info_t &info, std::string id);
  ~driver_t() override;

  // Installs the one-shot handler; a result that is already there is posted to it at once. A result is
  // delivered once: a handler set after that is never called.
  void set_result_handler(result_handler_t handler);

  const std::string &id() const noexcept { return id_; }

private:
  struct result_t {
    artifacts_t artifacts;
    std::variant<verdict_t, std::exception_ptr> outcome;
  };

  // Pushes the stored wrapper function; the thread runs it with the hook and the context.
  static lua_State *push_wrapper(lua_State *L);

  void on_coroutine_finish() override;
  void on_coroutine_error() override;
  void on_coroutine_yield() override;
  void on_coroutine_resume() override;

  void restore_logger();
  // Logs the outcome with the context dump, keeps it and posts it to a waiting handler.
  void complete(result_t result);
  void deliver();

  boost::asio::io_context &io_;
  std::string id_;
  mv::lua::registry_ref_t context_ref_;
  mv::lua::log::logger_t saved_logger_;
  result_handler_t handler_;
  std::optional<result_t> result_;
};

} // namespace fw::lua::intercept
