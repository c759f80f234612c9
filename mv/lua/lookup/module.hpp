#pragma once

#include "mv/lua/lookup/delegate.hpp"
#include "mv/lua/lua.hpp"

// The module "movri.lookup": lookup(source, params) and check(value, source, params) ask the list
// service and suspend the calling session until it answers. The table is read-only.
namespace mv::lua::lookup {

namespace key {
inline constexpr const char delegate[] = "mv.lua.lookup.delegate";
inline constexpr const char answer_metatable[] = "mv.lua.lookup.answer_metatable";
} // namespace key

// Stores the delegate (not owned; it must outlive every session of the state) under
// "mv.lua.lookup.delegate" and registers the module in package.loaded (no global). Needs the runtime's
// registry entries. Throws std::runtime_error.
void register_module(lua_State *L, delegate_t &delegate);

} // namespace mv::lua::lookup
