#include "mv/lua/coroutine_make.hpp"

#include <stdexcept>
#include <string>

#include "mv/lua/runtime.hpp"

namespace mv::lua {

namespace {

constexpr const char coroutine_make_text[] = R"lua(
local create, resume, yield = coroutine.create, coroutine.resume, coroutine.yield
local isyieldable, running, status = coroutine.isyieldable, coroutine.running, coroutine.status
local error, rawequal, select, type = error, rawequal, select, type

return function(tag)
  if tag == nil then tag = {} end
  local api = { isyieldable = isyieldable, running = running, status = status }

  -- What an inner resume delivered: results and yields carrying our tag go to the caller, any other
  -- yield goes further up, and the inner coroutine gets whatever the outer resume delivers.
  local function pass(co, ok, ...)
    if not ok then return false, ... end
    if rawequal((...), tag) then return true, select(2, ...) end
    return pass(co, resume(co, yield(...)))
  end

  function api.create(f)
    if type(f) ~= "function" then
      error("bad argument #1 to 'create' (function expected)", 2)
    end
    return create(function(...) return tag, f(...) end)
  end

  function api.resume(co, ...)
    return pass(co, resume(co, ...))
  end

  function api.yield(...)
    return yield(tag, ...)
  end

  local function unwrap(ok, ...)
    if ok then return ... end
    error((...), 2)
  end

  function api.wrap(f)
    local co = api.create(f)
    return function(...)
      return unwrap(api.resume(co, ...))
    end
  end

  return api
end
)lua";

int open(lua_State *L) {
  if (luaL_loadbuffer(L, coroutine_make_text, sizeof coroutine_make_text - 1, "coroutine.make") != LUA_OK)
    return lua_error(L);
  lua_call(L, 0, 1);
  return 1;
}

int install(lua_State *L) {
  luaL_requiref(L, "coroutine.make", open, 0);
  return 0;
}

} // namespace

void install_coroutine_make(lua_State *L) {
  lua_pushcfunction(L, install);
  if (lua_pcall(L, 0, 0, 0) != LUA_OK)
    throw std::runtime_error("Cannot register module coroutine.make: " + error_text(L));
}

} // namespace mv::lua
