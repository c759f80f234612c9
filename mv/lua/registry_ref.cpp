#include "mv/lua/registry_ref.hpp"

#include <new>
#include <utility>

#include "mv/lua/runtime.hpp"

namespace mv::lua {

registry_ref_t::registry_ref_t(lua_State *L) : state_(main_state(L)), ref_(reference(L)) {
  if (ref_ == LUA_NOREF) throw std::bad_alloc();
}

registry_ref_t::registry_ref_t(registry_ref_t &&other) noexcept
    : state_(other.state_), ref_(std::exchange(other.ref_, LUA_REFNIL)) {}

registry_ref_t &registry_ref_t::operator=(registry_ref_t &&other) noexcept {
  if (this != &other) {
    reset();
    state_ = other.state_;
    ref_ = std::exchange(other.ref_, LUA_REFNIL);
  }
  return *this;
}

void registry_ref_t::push(lua_State *L) const { lua_rawgeti(L, LUA_REGISTRYINDEX, ref_); }

void registry_ref_t::reset() noexcept {
  if (*this && state_) luaL_unref(state_, LUA_REGISTRYINDEX, ref_);
  ref_ = LUA_REFNIL;
}

} // namespace mv::lua
