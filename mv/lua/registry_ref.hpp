#pragma once

#include "mv/lua/lua.hpp"

namespace mv::lua {

// A reference into the registry of a Lua state (luaL_ref), released on destruction. It remembers the
// main state, so it may be taken on any thread of the state and released after that thread is gone.
class registry_ref_t {
public:
  registry_ref_t() noexcept = default;
  // Pops the value on top of L's stack and references it; std::bad_alloc when memory runs out (never a
  // Lua error).
  explicit registry_ref_t(lua_State *L);
  registry_ref_t(registry_ref_t &&other) noexcept;
  registry_ref_t &operator=(registry_ref_t &&other) noexcept;
  ~registry_ref_t() { reset(); }

  // Pushes the referenced value onto L's stack (nil when empty).
  void push(lua_State *L) const;
  void reset() noexcept;
  int get() const noexcept { return ref_; }
  lua_State *state() const noexcept { return state_; }
  explicit operator bool() const noexcept { return ref_ != LUA_REFNIL && ref_ != LUA_NOREF; }

private:
  lua_State *state_ = nullptr;
  int ref_ = LUA_REFNIL;
};

} // namespace mv::lua
