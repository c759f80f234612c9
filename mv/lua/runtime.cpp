#include "mv/lua/runtime.hpp"

#include <new>
#include <stdexcept>

#include "mv/util/exceptions.hpp"

namespace mv::lua {

namespace {

constexpr const char table_getter_text[] = "local table, key = ...\nreturn table[key]\n";

// Builds make_const(obj). The globals it uses are captured once, so hook code that replaces them later
// cannot change how views behave.
constexpr const char make_const_text[] = R"lua(
local error, getmetatable, next, rawequal, setmetatable, tostring, type =
  error, getmetatable, next, rawequal, setmetatable, tostring, type
local sub = string.sub

local views = setmetatable({}, { __mode = "k" })

local function hidden(key)
  if type(key) ~= "string" then return false end
  local first = sub(key, 1, 1)
  return first == "~" or first == "_"
end

local make_const
make_const = function(obj)
  local view = views[obj]
  if view ~= nil then return view end
  view = {}
  local meta = { __metatable = true, object = obj }
  meta.__index = function(_, key)
    if hidden(key) then return nil end
    local value = obj[key]
    if type(value) == "table" then return make_const(value) end
    return value
  end
  meta.__newindex = function(_, key, val)
    local object_meta = getmetatable(obj)
    if not hidden(key) and type(object_meta) == "table" and object_meta.__newindex ~= nil then
      obj[key] = val
      return
    end
    error("Table modification is not allowed", 2)
  end
  meta.__concat = function(first, second)
    if rawequal(second, view) then return first .. obj end
    return obj .. second
  end
  meta.__tostring = function() return tostring(obj) end
  meta.__len = function() return #obj end
  meta.__pairs = function(self)
    local function iterate(_, key)
      repeat
        key = next(obj, key)
      until key == nil or not hidden(key)
      if key == nil then return nil end
      return key, self[key]
    end
    return iterate, self, nil
  end
  setmetatable(view, meta)
  views[obj] = view
  return view
end
return make_const
)lua";

int exception_gc(lua_State *L) {
  // Releases rather than destroys (an empty exception_ptr owns nothing), so that hook code calling
  // __gc itself cannot release the exception twice.
  if (auto *error = static_cast<std::exception_ptr *>(luaL_testudata(L, 1, key::exception_ptr_metatable)))
    *error = nullptr;
  return 0;
}

int exception_tostring(lua_State *L) {
  auto *error = static_cast<std::exception_ptr *>(luaL_checkudata(L, 1, key::exception_ptr_metatable));
  // Static storage: pushing may raise a memory error, which must find no string alive in this frame.
  thread_local std::string text;
  bool built = false;
  try {
    text = exception_text(*error);
    built = true;
  } catch (...) {
  }
  if (!built) {
    lua_pushliteral(L, "Not enough memory");
    return 1;
  }
  lua_pushlstring(L, text.data(), text.size());
  return 1;
}

// Protected halves of push_exception and reference, run on the main thread.
int push_exception_protected(lua_State *L) {
  auto *error = static_cast<std::exception_ptr *>(lua_touserdata(L, 1));
  void *memory = lua_newuserdata(L, sizeof(std::exception_ptr));
  new (memory) std::exception_ptr(); // a valid (empty) value before the metatable's __gc can see it
  luaL_setmetatable(L, key::exception_ptr_metatable);
  *static_cast<std::exception_ptr *>(memory) = std::move(*error);
  return 1;
}

int reference_protected(lua_State *L) {
  lua_pushinteger(L, luaL_ref(L, LUA_REGISTRYINDEX));
  return 1;
}

lua_State *main_thread(lua_State *L) noexcept {
  lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_MAINTHREAD);
  lua_State *const main = lua_tothread(L, -1);
  lua_pop(L, 1);
  return main;
}

void set_registry(lua_State *L, const char *name) { lua_setfield(L, LUA_REGISTRYINDEX, name); }

int load_or_raise(lua_State *L, const char *text, const char *name) {
  if (luaL_loadbuffer(L, text, std::char_traits<char>::length(text), name) != LUA_OK) return lua_error(L);
  return 0;
}

int install(lua_State *L) {
  lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_MAINTHREAD);
  lua_pushlightuserdata(L, lua_tothread(L, -1));
  set_registry(L, key::regid_state);
  lua_pop(L, 1);

  load_or_raise(L, table_getter_text, "table_getter");
  set_registry(L, key::table_getter);

  load_or_raise(L, make_const_text, "make_const");
  lua_call(L, 0, 1);
  set_registry(L, key::make_const);

  lua_newtable(L);
  set_registry(L, key::coroutine_tag);

  lua_pushlightuserdata(L, nullptr);
  set_registry(L, key::coroutine);

  lua_newtable(L);
  set_registry(L, key::coroutine_environment);

  luaL_newmetatable(L, key::exception_ptr_metatable); // also sets __name to the key
  lua_pushcfunction(L, exception_gc);
  lua_setfield(L, -2, "__gc");
  lua_pushcfunction(L, exception_tostring);
  lua_setfield(L, -2, "__tostring");
  lua_pop(L, 1);
  return 0;
}

int call_make_const(lua_State *L) {
  lua_getfield(L, LUA_REGISTRYINDEX, key::make_const);
  lua_insert(L, 1);
  lua_call(L, 1, 1);
  return 1;
}

int tostring_protected(lua_State *L) {
  luaL_tolstring(L, 1, nullptr);
  return 1;
}

} // namespace

void install_runtime(lua_State *L) {
  lua_pushcfunction(L, install);
  if (lua_pcall(L, 0, 0, 0) != LUA_OK)
    throw std::runtime_error("Cannot install the Lua runtime: " + error_text(L));
}

lua_State *main_state(lua_State *L) noexcept {
  lua_getfield(L, LUA_REGISTRYINDEX, key::regid_state);
  auto *main = static_cast<lua_State *>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  if (main) return main;
  lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_MAINTHREAD);
  main = lua_tothread(L, -1);
  lua_pop(L, 1);
  return main;
}

int make_const(lua_State *L) noexcept {
  lua_pushcfunction(L, call_make_const);
  lua_insert(L, -2);
  return lua_pcall(L, 1, 1, 0);
}

void push_exception(lua_State *L, std::exception_ptr error) noexcept {
  // Built in a protected call on the main thread (L may be a suspended thread, on which nothing may be
  // called), so that a memory error never leaves this frame with the exception alive in it.
  lua_State *const main = main_thread(L);
  if (lua_checkstack(main, 2)) {
    lua_pushcfunction(main, push_exception_protected);
    lua_pushlightuserdata(main, &error);
    if (lua_pcall(main, 1, 1, 0) == LUA_OK) {
      lua_xmove(main, L, 1);
      return;
    }
    lua_pop(main, 1);
  }
  lua_pushnil(L);
}

int reference(lua_State *L) noexcept {
  lua_State *const main = main_thread(L);
  if (!lua_checkstack(main, 2)) {
    lua_pop(L, 1);
    return LUA_NOREF;
  }
  lua_xmove(L, main, 1);
  lua_pushcfunction(main, reference_protected);
  lua_insert(main, -2);
  if (lua_pcall(main, 1, 1, 0) != LUA_OK) {
    lua_pop(main, 1);
    return LUA_NOREF;
  }
  const int ref = static_cast<int>(lua_tointeger(main, -1));
  lua_pop(main, 1);
  return ref;
}

const std::exception_ptr *to_exception(lua_State *L, int index) noexcept {
  return static_cast<const std::exception_ptr *>(luaL_testudata(L, index, key::exception_ptr_metatable));
}

std::string exception_text(const std::exception_ptr &error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::exception &e) {
    return mv::util::exception_message(e);
  } catch (...) {
  }
  return "Unexpected exception";
}

std::string error_text(lua_State *L) {
  switch (lua_type(L, -1)) {
  case LUA_TSTRING:
  case LUA_TNUMBER: {
    size_t length = 0;
    const char *text = lua_tolstring(L, -1, &length);
    std::string result(text, length);
    lua_pop(L, 1);
    return result;
  }
  default: break;
  }
  if (!lua_getmetatable(L, -1)) {
    lua_pop(L, 1);
    return "Unexpected error";
  }
  lua_pop(L, 1);
  // tostring may run a metamethod: convert on the main state, which can always run protected calls (L
  // may be a thread that died with this very error).
  lua_State *main = main_state(L);
  if (!lua_checkstack(main, 3)) {
    lua_pop(L, 1);
    return "Unexpected error";
  }
  if (main != L) lua_xmove(L, main, 1);
  lua_pushcfunction(main, tostring_protected);
  lua_insert(main, -2);
  std::string result = "Unexpected error";
  if (lua_pcall(main, 1, 1, 0) == LUA_OK) {
    size_t length = 0;
    const char *text = lua_tolstring(main, -1, &length);
    if (text) result.assign(text, length);
  }
  lua_pop(main, 1);
  return result;
}

const char *type_name(int type) noexcept {
  switch (type) {
  case LUA_TNIL: return "nil";
  case LUA_TBOOLEAN: return "boolean";
  case LUA_TLIGHTUSERDATA: return "light userdata";
  case LUA_TNUMBER: return "number";
  case LUA_TSTRING: return "string";
  case LUA_TTABLE: return "table";
  case LUA_TFUNCTION: return "function";
  case LUA_TUSERDATA: return "userdata";
  case LUA_TTHREAD: return "thread";
  default: return "no value";
  }
}

std::string type_mismatch(const std::string &expected, int actual) {
  return "Expected " + expected + ", got " + type_name(actual);
}

const char *to_text(lua_State *L, int arg, size_t *length) {
  if (luaL_callmeta(L, arg, "__tostring")) {
    if (!lua_isstring(L, -1)) luaL_error(L, "'__tostring' must return a string");
    return lua_tolstring(L, -1, length);
  }
  return luaL_checklstring(L, arg, length);
}

} // namespace mv::lua
