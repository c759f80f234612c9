#pragma once

#include "mv/lua/lua.hpp"

namespace mv::lua {

// An owned Lua state: created with the standard allocator, closed on destruction. Everything that refers
// to the state (coroutines, registry references) must be gone before it is closed.
class state_t {
public:
  // Throws std::runtime_error "Cannot create Lua state: Not enough memory".
  state_t();
  ~state_t();
  state_t(const state_t &) = delete;
  state_t &operator=(const state_t &) = delete;

  lua_State *get() const noexcept { return state_; }
  operator lua_State *() const noexcept { return state_; }

private:
  lua_State *state_;
};

} // namespace mv::lua
