#pragma once

#include <functional>
#include <vector>

#include "mv/lua/coroutine.hpp"
#include "mv/lua/log.hpp"

namespace mv::lua::movri {

// A background task started by async(f, ...): a coroutine that lives in a Lua userdata (collected with
// the table async returned, or with a waiting wait) and keeps its results, or its error object, on its
// own thread for every wait. Its log lines go through the logger that was current when it was created.
// Collecting it while the task runs abandons the task: its pending completions do nothing.
class future_t : private mv::lua::coroutine_t {
public:
  enum class state_t { running = 0, finished = 1, failed = 2 };

  // Registers "mv.lua.movri.future_metatable". Raises Lua errors.
  static void register_metatable(lua_State *L);

  // The Lua function async(f, ...): starts f with the arguments at once (it runs until it finishes,
  // fails or first suspends) and returns a table whose field `wait` returns the task's results.
  static int async(lua_State *L);

  future_t(lua_State *L, int index);
  ~future_t() override = default;

  state_t state() const noexcept { return state_; }

private:
  static int gc(lua_State *L);
  static int wait(lua_State *L);
  static int wait_continue(lua_State *L, int status, lua_KContext base);

  // Pushes copies of the results onto L; false when they do not fit.
  bool push_results(lua_State *L) const;
  void add_waiter(coroutine_t *waiter);
  void deliver(coroutine_t *waiter);
  void wake_waiters();
  void restore_logger();

  void on_coroutine_finish() override;
  void on_coroutine_error() override;
  void on_coroutine_yield() override;
  void on_coroutine_resume() override;

  state_t state_ = state_t::running;
  log::logger_t logger_;
  log::logger_t saved_logger_;
  bool swapped_ = false;
  std::vector<std::function<void()>> waiters_;
};

} // namespace mv::lua::movri
