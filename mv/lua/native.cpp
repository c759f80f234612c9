#include "mv/lua/native.hpp"

#include <exception>
#include <new>
#include <utility>

#include "mv/lua/runtime.hpp"

namespace mv::lua::detail {

namespace {

// Static storage: nothing here lives in a frame that lua_error leaves.
thread_local std::exception_ptr captured;
thread_local std::string captured_text;

enum class kind_t { plain, positioned, argument, exception };

int push_exception_userdata(lua_State *L) {
  void *memory = lua_newuserdata(L, sizeof(std::exception_ptr));
  new (memory) std::exception_ptr(std::exchange(captured, nullptr));
  luaL_setmetatable(L, key::exception_ptr_metatable);
  return 0;
}

bool keep_text(const std::exception &e) noexcept {
  try {
    captured_text = e.what();
    return true;
  } catch (...) {
    return false; // raised as exception userdata instead
  }
}

} // namespace

void capture_exception() noexcept { captured = std::current_exception(); }

int raise_captured(lua_State *L) {
  kind_t kind = kind_t::exception;
  int arg = 0;
  try {
    std::rethrow_exception(captured);
  } catch (const arg_error_t &e) {
    if (keep_text(e)) {
      kind = kind_t::argument;
      arg = e.arg();
    }
  } catch (const error_t &e) {
    if (keep_text(e)) kind = e.with_position() ? kind_t::positioned : kind_t::plain;
  } catch (...) {
  }
  if (kind != kind_t::exception) captured = nullptr;
  switch (kind) {
  case kind_t::argument:
    lua_pushlstring(L, captured_text.data(), captured_text.size());
    return luaL_argerror(L, arg, lua_tostring(L, -1));
  case kind_t::positioned:
    luaL_where(L, 1);
    lua_pushlstring(L, captured_text.data(), captured_text.size());
    lua_concat(L, 2);
    return lua_error(L);
  case kind_t::plain:
    lua_pushlstring(L, captured_text.data(), captured_text.size());
    return lua_error(L);
  case kind_t::exception:
    push_exception_userdata(L);
    return lua_error(L);
  }
  return lua_error(L);
}

} // namespace mv::lua::detail
