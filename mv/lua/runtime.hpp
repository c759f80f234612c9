#pragma once

#include <exception>
#include <string>

#include "mv/lua/lua.hpp"

// State-wide support of the coroutine runtime: the registry entries every other Lua component relies on,
// read-only table views, exception userdata and the texts of errors and type mismatches.
namespace mv::lua {

// Registry keys of the main state.
namespace key {
inline constexpr const char regid_state[] = "mv.lua.regid_state";
inline constexpr const char table_getter[] = "mv.lua.table_getter";
inline constexpr const char make_const[] = "mv.lua.make_const";
inline constexpr const char coroutine_tag[] = "mv.lua.coroutine_tag";
inline constexpr const char coroutine[] = "mv.lua.coroutine";
inline constexpr const char coroutine_environment[] = "mv.lua.coroutine_environment";
inline constexpr const char exception_ptr_metatable[] = "mv.lua.exception_ptr_metatable";
} // namespace key

// Installs the registry entries on a state whose standard libraries are open: the main state pointer,
// the table getter, make_const, the coroutine tag, the running coroutine (none), the coroutine
// environment and the exception userdata metatable. Throws std::runtime_error when that fails.
void install_runtime(lua_State *L);

// The main state of L (from "mv.lua.regid_state"; the interpreter's main thread before installation).
lua_State *main_state(lua_State *L) noexcept;

// Replaces the value on top of L's stack by its read-only view: keys beginning with "_" or "~" read as
// nil and are not iterated, table values read as their own views, assignments raise "Table modification
// is not allowed" unless the viewed object's metatable has a __newindex. One object has one view.
// Runs in protected mode; returns the status (LUA_OK, or an error code with the error object on top).
int make_const(lua_State *L) noexcept;

// Pushes userdata carrying the exception; tostring gives its message, or "Unexpected exception" for an
// exception not derived from std::exception. Never raises: when memory runs out it pushes nil. L needs
// room for one value; L may be a suspended thread.
void push_exception(lua_State *L, std::exception_ptr error) noexcept;

// luaL_ref of the value on top of L (popped) in the registry, in a protected call on the main thread:
// LUA_NOREF when memory runs out, never a Lua error. L may be a suspended thread.
int reference(lua_State *L) noexcept;
// The exception carried by the value at index, or null when it is not exception userdata.
const std::exception_ptr *to_exception(lua_State *L, int index) noexcept;
// The message that the exception userdata shows.
std::string exception_text(const std::exception_ptr &error);

// Pops the value on top of L's stack and returns its error text: a string or number unchanged, a value
// with a metatable converted as tostring does, anything else "Unexpected error". Never raises; usable on
// a thread that died with an error.
std::string error_text(lua_State *L);

// "nil", "boolean", "light userdata", "number", "string", "table", "function", "userdata", "thread", or
// "no value" for anything else.
const char *type_name(int type) noexcept;
// "Expected " + expected + ", got " + type name.
std::string type_mismatch(const std::string &expected, int actual);

// The text of the argument: through its __tostring metamethod when it has one (the result is left on the
// stack), else the argument must be a string or a number (the interpreter's argument error otherwise).
// Raises Lua errors: call it only where no C++ object is alive in the frame.
const char *to_text(lua_State *L, int arg, size_t *length = nullptr);

} // namespace mv::lua
