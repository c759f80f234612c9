#pragma once

#include <string>

#include "fw/lua/intercept/connection_info.hpp"
#include "fw/lua/intercept/process_finder.hpp"
#include "mv/lua/lua.hpp"

// The context a hook receives: a table describing one connection and its originator. Fields are
// computed on first read, the originator's through an asynchronous PID lookup that suspends the
// reading Lua thread; every value found is stored into the table with a raw set, so each lookup runs
// at most once per session. Lookup failures are logged and read as nil.
namespace fw::lua::intercept {

namespace key {
inline constexpr const char process_finder[] = "fw.lua.intercept.process_finder";
inline constexpr const char shared_ptr_metatable[] = "fw.lua.intercept.shared_ptr_metatable";
inline constexpr const char tcp_endpoint_metatable[] = "fw.lua.intercept.tcp_endpoint_metatable";
inline constexpr const char get_artifacts[] = "fw.lua.intercept.get_artifacts";
} // namespace key

// Registers the finder that answers PID lookups ("fw.lua.intercept.process_finder") and the context's
// metatables. Needs the coroutine runtime and the module movri's types. Throws std::runtime_error.
void install_context(lua_State *L, process_finder_t *finder);

// Pushes a new context table for the connection. Throws std::runtime_error (the state is left as it
// was).
void push_context(lua_State *L, const connection_info_t &info);

// The fields already stored in the context table at index (raw reads, no lookups), in the order src,
// dst, divert, uid, gid, user, group, iface_in, iface_out, pid, exe_path, as name=value separated by
// blanks; integers in decimal, other values as tostring gives them (a value whose conversion fails is
// left out).
std::string dump_context(lua_State *L, int index);

} // namespace fw::lua::intercept
