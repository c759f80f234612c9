#include "mv/lua/movri/future.hpp"

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "mv/lua/movri/keys.hpp"
#include "mv/lua/native.hpp"
#include "mv/lua/runtime.hpp"

namespace mv::lua::movri {

// Lua aligns userdata memory for its largest basic types only.
static_assert(alignof(future_t) <= 8);

future_t::future_t(lua_State *L, int index) : coroutine_t(L, index), logger_(log::current()) {}

void future_t::register_metatable(lua_State *L) {
  luaL_newmetatable(L, key::future_metatable);
  lua_pushcfunction(L, gc);
  lua_setfield(L, -2, "__gc");
  lua_pop(L, 1);
}

int future_t::gc(lua_State *L) {
  static_cast<future_t *>(luaL_checkudata(L, 1, key::future_metatable))->~future_t();
  return 0;
}

int future_t::async(lua_State *L) {
  luaL_checktype(L, 1, LUA_TFUNCTION);
  const int arguments = lua_gettop(L) - 1;
  void *memory = lua_newuserdata(L, sizeof(future_t));
  lua_insert(L, 1); // the userdata stays at index 1, reachable while the task starts
  guarded(L, [&] {
    auto *future = new (memory) future_t(L, 2);
    luaL_getmetatable(L, key::future_metatable);
    lua_setmetatable(L, 1);
    if (!lua_checkstack(future->thread(), arguments)) throw error_t("too many arguments");
    lua_xmove(L, future->thread(), arguments);
    future->resume(arguments, L);
    return 0;
  });
  lua_createtable(L, 0, 1);
  lua_pushvalue(L, 1);
  lua_pushcclosure(L, wait, 1);
  lua_setfield(L, -2, "wait");
  return 1;
}

int future_t::wait(lua_State *L) {
  auto *future = static_cast<future_t *>(lua_touserdata(L, lua_upvalueindex(1)));
  switch (future->state_) {
  case state_t::finished:
    if (!future->push_results(L)) return luaL_error(L, "too many results to wait for");
    return lua_gettop(future->thread());
  case state_t::failed: {
    lua_State *thread = future->thread();
    if (!lua_checkstack(thread, 1)) return luaL_error(L, "stack overflow");
    lua_pushvalue(thread, -1);
    lua_xmove(thread, L, 1);
    return lua_error(L);
  }
  case state_t::running:
    break;
  }
  coroutine_t *const waiter = coroutine_t::running(L);
  const int base = lua_gettop(L);
  guarded(L, [&] {
    future->add_waiter(waiter);
    return 0;
  });
  return coroutine_t::yield(L, wait_continue, base);
}

// On top of the stack: the results and their count, or exception userdata when the task failed.
int future_t::wait_continue(lua_State *L, int, lua_KContext base) {
  const int top = lua_gettop(L);
  if (top <= base) return 0;
  if (to_exception(L, -1)) return lua_error(L);
  const lua_Integer count = lua_isinteger(L, -1) ? lua_tointeger(L, -1) : 0;
  lua_pop(L, 1);
  if (count < 0 || count > top - 1 - base) return 0;
  return static_cast<int>(count);
}

bool future_t::push_results(lua_State *L) const {
  lua_State *const thread = this->thread();
  const int count = lua_gettop(thread);
  if (!lua_checkstack(L, count) || !lua_checkstack(thread, count)) return false;
  for (int i = 1; i <= count; ++i) lua_pushvalue(thread, i);
  lua_xmove(thread, L, count);
  return true;
}

void future_t::add_waiter(coroutine_t *waiter) {
  waiters_.push_back(waiter->wrap([this, waiter] { deliver(waiter); }));
}

void future_t::deliver(coroutine_t *waiter) {
  lua_State *const target = waiter->thread();
  if (state_ == state_t::finished) {
    const int count = lua_gettop(thread());
    if (lua_checkstack(target, count + 1) && push_results(target)) {
      lua_pushinteger(target, count);
      waiter->resume(count + 1);
      return;
    }
    lua_checkstack(target, 1);
    push_exception(target, std::make_exception_ptr(std::runtime_error("too many results to wait for")));
    waiter->resume(1);
    return;
  }
  lua_State *const thread = this->thread();
  lua_checkstack(thread, 1);
  lua_pushvalue(thread, -1);
  const std::string text = error_text(thread);
  lua_checkstack(target, 1);
  push_exception(target, std::make_exception_ptr(std::runtime_error(text)));
  waiter->resume(1);
}

void future_t::wake_waiters() {
  // In the order they were added. A waiter may drop the last reference to this future and have it
  // collected: nothing here touches the object after that.
  std::vector<std::function<void()>> waiters;
  waiters.swap(waiters_);
  const auto destroyed = destroyed_flag();
  for (auto &waiter : waiters) {
    if (*destroyed) return;
    waiter();
  }
}

void future_t::restore_logger() {
  if (!swapped_) return;
  swapped_ = false;
  log::exchange(std::exchange(saved_logger_, nullptr));
}

void future_t::on_coroutine_resume() {
  saved_logger_ = log::exchange(logger_);
  swapped_ = true;
}

void future_t::on_coroutine_yield() {
  restore_logger();
  lua_settop(thread(), 0);
}

void future_t::on_coroutine_finish() {
  restore_logger();
  state_ = state_t::finished;
  wake_waiters();
}

void future_t::on_coroutine_error() {
  restore_logger();
  state_ = state_t::failed;
  wake_waiters();
}

} // namespace mv::lua::movri
