#pragma once

#include <stdexcept>
#include <string>

#include "mv/lua/lua.hpp"

// Native functions and C++ exceptions.
//
// Lua raises errors and yields with longjmp, which skips C++ destructors, and a C++ exception must never
// travel through the interpreter's frames. A native function therefore keeps two zones apart: Lua calls
// that may raise (argument checks, luaL_error, yields) happen where no object with a destructor is alive,
// and C++ work that may throw runs inside guarded(), which turns an exception into a Lua error raised
// after the C++ frames are gone:
//
//   int l_example(lua_State *L) {
//     const char *path = luaL_checkstring(L, 1);        // may raise: nothing alive yet
//     return guarded(L, [&] {                            // may throw: objects allowed
//       std::string text = read(path);
//       lua_pushlstring(L, text.data(), text.size());
//       return 1;
//     });
//   }
//
// In guarded(), error_t becomes a Lua error with its message, arg_error_t an argument error, and any
// other exception exception userdata (mv/lua/runtime.hpp) carrying it.
namespace mv::lua {

// A Lua error with a text message; by default prefixed by the calling Lua code's position, as luaL_error
// does, or with the text alone.
class error_t : public std::runtime_error {
public:
  explicit error_t(const std::string &message, bool with_position = true)
      : std::runtime_error(message), with_position_(with_position) {}
  bool with_position() const noexcept { return with_position_; }

private:
  bool with_position_;
};

// An argument error (luaL_argerror) on argument `arg`.
class arg_error_t : public std::runtime_error {
public:
  arg_error_t(int arg, const std::string &message) : std::runtime_error(message), arg_(arg) {}
  int arg() const noexcept { return arg_; }

private:
  int arg_;
};

namespace detail {
// Keeps the exception being handled for raise_captured().
void capture_exception() noexcept;
// Raises the captured exception as a Lua error; never returns.
int raise_captured(lua_State *L);
} // namespace detail

// Runs body (returning the number of results) and raises whatever it throws as a Lua error.
template <class Body> int guarded(lua_State *L, Body &&body) {
  try {
    return body();
  } catch (...) {
    detail::capture_exception();
  }
  return detail::raise_captured(L);
}

} // namespace mv::lua
