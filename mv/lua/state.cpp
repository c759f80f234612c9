#include "mv/lua/state.hpp"

#include <stdexcept>

namespace mv::lua {

state_t::state_t() : state_(luaL_newstate()) {
  if (!state_) throw std::runtime_error("Cannot create Lua state: Not enough memory");
}

state_t::~state_t() { lua_close(state_); }

} // namespace mv::lua
