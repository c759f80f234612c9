#include "mv/lua/coroutine.hpp"

#include <utility>

#include <deque>
#include <stdexcept>

#include "mv/lua/log.hpp"
#include "mv/lua/runtime.hpp"

namespace mv::lua {

namespace {

// Resumes nest (a finishing task wakes its waiters from inside its own resume). Beyond this depth a
// resume that no native function asked for is queued and run by the outermost resume once it is done,
// so a long chain of waiting tasks cannot exhaust the C stack.
constexpr int max_depth = 64;

struct pending_t {
  coroutine_t *coroutine;
  std::shared_ptr<const bool> destroyed;
  int n;
};

thread_local int depth = 0;
thread_local bool draining = false;

std::deque<pending_t> &pending() {
  thread_local std::deque<pending_t> queue;
  return queue;
}

void drain() {
  if (draining) return;
  draining = true;
  try {
    while (!pending().empty()) {
      pending_t next = pending().front();
      pending().pop_front();
      if (!*next.destroyed) next.coroutine->resume(next.n);
    }
  } catch (...) {
    draining = false;
    throw;
  }
  draining = false;
}

void set_running(lua_State *L, coroutine_t *coroutine) {
  lua_pushlightuserdata(L, coroutine);
  lua_setfield(L, LUA_REGISTRYINDEX, key::coroutine);
}

} // namespace

coroutine_t::coroutine_t(lua_State *L, int index)
    : destroyed_(std::make_shared<bool>(false)), main_(mv::lua::main_state(L)) {
  index = lua_absindex(L, index);
  if (!lua_checkstack(L, 2)) throw std::runtime_error("Cannot create coroutine: Lua stack overflow");
  thread_ = lua_newthread(L);
  thread_ref_ = registry_ref_t(L);
  lua_getfield(L, LUA_REGISTRYINDEX, key::coroutine_environment);
  environment_ref_ = registry_ref_t(L);
  lua_pushvalue(L, index);
  lua_xmove(L, thread_, 1);
  lua_remove(L, index);
}

coroutine_t::~coroutine_t() {
  *destroyed_ = true;
  if (pending_cancel_) std::exchange(pending_cancel_, {})();
  // A thread still running (its owner was destroyed by code it called) must not find this object.
  if (lua_checkstack(thread_, 2)) {
    lua_getfield(thread_, LUA_REGISTRYINDEX, key::coroutine);
    if (lua_touserdata(thread_, -1) == static_cast<coroutine_t *>(this)) set_running(thread_, nullptr);
    lua_pop(thread_, 1);
  }
}

int coroutine_t::yield(lua_State *L, lua_KFunction continuation, lua_KContext context) {
  lua_getfield(L, LUA_REGISTRYINDEX, key::coroutine_tag);
  return lua_yieldk(L, 1, context, continuation);
}

coroutine_t *coroutine_t::find_running(lua_State *L) noexcept {
  lua_getfield(L, LUA_REGISTRYINDEX, key::coroutine);
  auto *coroutine = static_cast<coroutine_t *>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  return coroutine;
}

coroutine_t *coroutine_t::running(lua_State *L) {
  coroutine_t *coroutine = find_running(L);
  if (!coroutine) luaL_error(L, "No coroutine is running");
  // The caller is about to start an operation and yield: refuse before the operation starts when the
  // yield cannot happen (its completion would later resume a coroutine that waits for something else).
  if (!lua_isyieldable(L)) {
    if (lua_pushthread(L)) luaL_error(L, "attempt to yield from outside a coroutine");
    luaL_error(L, "attempt to yield across a C-call boundary");
  }
  return coroutine;
}

void coroutine_t::resume(int n, lua_State *from) {
  if (!waiting()) {
    lua_pop(thread_, n);
    return;
  }
  if (!from && depth >= max_depth) {
    pending().push_back({this, destroyed_, n});
    return;
  }
  ++depth;
  try {
    run(n, from);
  } catch (...) {
    --depth;
    throw;
  }
  if (--depth == 0) drain();
}

void coroutine_t::run(int n, lua_State *from) {
  // Nothing below touches the object once the flag says it is gone.
  const std::shared_ptr<const bool> destroyed = destroyed_;
  lua_State *const thread = thread_;
  lua_checkstack(thread, 3); // a thread's stack has room for these unless it is at its limit

  // The thread stays alive until this resume is over, even if its owner goes away meanwhile.
  lua_pushthread(thread);
  const int keep = luaL_ref(thread, LUA_REGISTRYINDEX);

  // Save the running coroutine and the environment; a saved coroutine destroyed meanwhile is not put back.
  coroutine_t *const saved = find_running(thread);
  const std::shared_ptr<const bool> saved_destroyed = saved ? saved->destroyed_ : nullptr;
  lua_getfield(thread, LUA_REGISTRYINDEX, key::coroutine_environment);
  const int saved_environment = luaL_ref(thread, LUA_REGISTRYINDEX);
  const log::logger_t saved_logger = log::current();

  auto restore = [&] {
    lua_rawgeti(thread, LUA_REGISTRYINDEX, saved_environment);
    lua_setfield(thread, LUA_REGISTRYINDEX, key::coroutine_environment);
    luaL_unref(thread, LUA_REGISTRYINDEX, saved_environment);
    set_running(thread, saved_destroyed && !*saved_destroyed ? saved : nullptr);
    log::exchange(saved_logger);
  };
  auto end_resume = [&] {
    restore();
    luaL_unref(thread, LUA_REGISTRYINDEX, keep);
  };

  // The bookkeeping allocates, and a collection may finalize the owner (a task whose future is garbage).
  if (*destroyed) return end_resume();
  set_running(thread, this);
  environment_ref_.push(thread);
  lua_setfield(thread, LUA_REGISTRYINDEX, key::coroutine_environment);
  status_ = status_t::running;
  try {
    on_coroutine_resume();
  } catch (...) {
    if (!*destroyed) status_ = status_t::failed;
    end_resume();
    throw;
  }
  if (*destroyed) return end_resume();

  const int status = lua_resume(thread, from, n);

  end_resume();
  if (*destroyed) return;
  dispatch(status);
}

void coroutine_t::dispatch(int status) {
  lua_State *const thread = thread_;
  switch (status) {
  case LUA_OK:
    status_ = status_t::finished;
    on_coroutine_finish();
    return;
  case LUA_YIELD: {
    if (lua_gettop(thread) == 0) {
      status_ = status_t::failed;
      lua_pushliteral(thread, "Coroutine tag not found");
      on_coroutine_error();
      return;
    }
    lua_getfield(thread, LUA_REGISTRYINDEX, key::coroutine_tag);
    const bool tagged = lua_rawequal(thread, -1, -2);
    lua_pop(thread, tagged ? 2 : 1);
    if (!tagged) {
      status_ = status_t::failed;
      lua_pushliteral(thread, "Invalid coroutine tag");
      on_coroutine_error();
      return;
    }
    status_ = status_t::suspended;
    on_coroutine_yield();
    return;
  }
  default:
    status_ = status_t::failed;
    on_coroutine_error();
    return;
  }
}

} // namespace mv::lua
