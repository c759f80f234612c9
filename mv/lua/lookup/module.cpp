#include "mv/lua/lookup/module.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mv/lua/coroutine.hpp"
#include "mv/lua/native.hpp"
#include "mv/lua/runtime.hpp"
#include "mv/util/exceptions.hpp"

namespace mv::lua::lookup {

namespace {

// Where a completion leaves its answer. A userdata holding one stays on the calling function's stack
// across the yield, and the continuation turns the answer into Lua values there, where a Lua error
// (out of memory, for instance) is an ordinary error of the hook rather than one outside any protected
// call.
struct answer_t {
  std::exception_ptr error;
  std::vector<std::string> data;
  bool result = false;
};
using answer_ptr = std::shared_ptr<answer_t>;

int answer_gc(lua_State *L) {
  static_cast<answer_ptr *>(luaL_checkudata(L, 1, key::answer_metatable))->~answer_ptr();
  return 0;
}

// Pushes an empty answer slot; returns its stack index.
int push_answer(lua_State *L, answer_ptr **slot) {
  void *memory = lua_newuserdata(L, sizeof(answer_ptr));
  *slot = new (memory) answer_ptr();
  luaL_setmetatable(L, key::answer_metatable);
  return lua_gettop(L);
}

delegate_t *find_delegate(lua_State *L) {
  lua_getfield(L, LUA_REGISTRYINDEX, key::delegate);
  auto *delegate = static_cast<delegate_t *>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  if (!delegate) luaL_error(L, "No lookup service");
  return delegate;
}

// "type@tag" from the argument; raises the argument error when there is no "@".
struct source_t {
  const char *text;
  size_t length;
  size_t at;
};

source_t check_source(lua_State *L, int arg) {
  source_t source{};
  source.text = to_text(L, arg, &source.length);
  const void *at = std::memchr(source.text, '@', source.length);
  if (!at) luaL_argerror(L, arg, "at character not found");
  source.at = static_cast<size_t>(static_cast<const char *>(at) - source.text);
  return source;
}

// The parameters must be a table of strings only (keys and values); absent or nil is no parameters.
void check_params(lua_State *L, int arg) {
  if (lua_isnoneornil(L, arg)) return;
  if (!lua_istable(L, arg)) luaL_argerror(L, arg, "all keys and values must be strings");
  lua_pushnil(L);
  while (lua_next(L, arg) != 0) {
    if (lua_type(L, -2) != LUA_TSTRING || lua_type(L, -1) != LUA_TSTRING)
      luaL_argerror(L, arg, "all keys and values must be strings");
    lua_pop(L, 1);
  }
}

// Reads checked parameters. Raises nothing: the table holds strings only.
delegate_t::params_t read_params(lua_State *L, int arg) {
  delegate_t::params_t params;
  if (lua_isnoneornil(L, arg)) return params;
  lua_pushnil(L);
  while (lua_next(L, arg) != 0) {
    size_t key_length = 0, value_length = 0;
    const char *key = lua_tolstring(L, -2, &key_length);
    const char *value = lua_tolstring(L, -1, &value_length);
    params.emplace_back(std::string(key, key_length), std::string(value, value_length));
    lua_pop(L, 1);
  }
  return params;
}

// A failure as the hook sees it: the prefix, then the message; the error code is kept.
std::exception_ptr prefixed(const char *prefix, const std::exception_ptr &error) {
  return std::make_exception_ptr(
      mv::cf_exception_t(mv::util::error_code_of(error), prefix + exception_text(error)));
}

answer_t &answer_at(lua_State *L, lua_KContext index) {
  return **static_cast<answer_ptr *>(lua_touserdata(L, static_cast<int>(index)));
}

// Raises the answer's exception as exception userdata.
int raise(lua_State *L, const answer_t &answer) {
  guarded(L, [&] {
    push_exception(L, answer.error);
    return 0;
  });
  return lua_error(L);
}

int lookup_continue(lua_State *L, int, lua_KContext index) {
  answer_t &answer = answer_at(L, index);
  if (answer.error) return raise(L, answer);
  const int count = static_cast<int>(answer.data.size());
  lua_createtable(L, count, 0);
  for (int i = 0; i < count; ++i) {
    lua_pushlstring(L, answer.data[i].data(), answer.data[i].size());
    lua_rawseti(L, -2, i + 1);
  }
  return 1;
}

int check_continue(lua_State *L, int, lua_KContext index) {
  answer_t &answer = answer_at(L, index);
  if (answer.error) return raise(L, answer);
  lua_pushboolean(L, answer.result);
  return 1;
}

int lookup(lua_State *L) {
  lua_settop(L, 2); // what is pushed from here on stays above the arguments
  const source_t source = check_source(L, 1);
  check_params(L, 2);
  delegate_t *const delegate = find_delegate(L);
  coroutine_t *const coroutine = coroutine_t::running(L);
  answer_ptr *slot = nullptr;
  const int index = push_answer(L, &slot);
  guarded(L, [&] {
    *slot = std::make_shared<answer_t>();
    try {
      delegate->lookup(std::string(source.text, source.at),
                       std::string(source.text + source.at + 1, source.length - source.at - 1), read_params(L, 2),
                       coroutine->wrap([coroutine, answer = *slot](std::exception_ptr error, std::vector<std::string> data) {
                         if (error)
                           answer->error = prefixed("Lookup: ", error);
                         else
                           answer->data = std::move(data);
                         coroutine->resume(0);
                       }));
    } catch (...) {
      std::rethrow_exception(prefixed("Lookup: ", std::current_exception()));
    }
    return 0;
  });
  return coroutine_t::yield(L, lookup_continue, index);
}

int check(lua_State *L) {
  lua_settop(L, 3); // what is pushed from here on stays above the arguments
  // The value: a string, or anything with __tostring.
  if (lua_type(L, 1) != LUA_TSTRING && luaL_getmetafield(L, 1, "__tostring") == LUA_TNIL) {
    guarded(L, [&] {
      push_exception(L, std::make_exception_ptr(
                            std::runtime_error("Check: first arg must be a string or have __tostring metamethod")));
      return 0;
    });
    return lua_error(L);
  }
  if (lua_type(L, 1) != LUA_TSTRING) lua_pop(L, 1); // the metafield
  size_t value_length = 0;
  const char *value = to_text(L, 1, &value_length);
  const source_t source = check_source(L, 2);
  check_params(L, 3);
  delegate_t *const delegate = find_delegate(L);
  coroutine_t *const coroutine = coroutine_t::running(L);
  answer_ptr *slot = nullptr;
  const int index = push_answer(L, &slot);
  guarded(L, [&] {
    *slot = std::make_shared<answer_t>();
    try {
      delegate->check(std::string(source.text, source.at),
                      std::string(source.text + source.at + 1, source.length - source.at - 1),
                      std::string(value, value_length), read_params(L, 3),
                      coroutine->wrap([coroutine, answer = *slot](std::exception_ptr error, bool result) {
                        if (error)
                          answer->error = prefixed("Check: ", error);
                        else
                          answer->result = result;
                        coroutine->resume(0);
                      }));
    } catch (...) {
      std::rethrow_exception(prefixed("Check: ", std::current_exception()));
    }
    return 0;
  });
  return coroutine_t::yield(L, check_continue, index);
}

int open_module(lua_State *L) {
  static const luaL_Reg functions[] = {{"lookup", lookup}, {"check", check}, {nullptr, nullptr}};
  luaL_newlib(L, functions);
  if (make_const(L) != LUA_OK) return lua_error(L);
  return 1;
}

int register_protected(lua_State *L) {
  lua_pushvalue(L, 1);
  lua_setfield(L, LUA_REGISTRYINDEX, key::delegate);
  luaL_newmetatable(L, key::answer_metatable);
  lua_pushcfunction(L, answer_gc);
  lua_setfield(L, -2, "__gc");
  lua_pop(L, 1);
  luaL_requiref(L, "movri.lookup", open_module, 0);
  return 0;
}

} // namespace

void register_module(lua_State *L, delegate_t &delegate) {
  lua_pushcfunction(L, register_protected);
  lua_pushlightuserdata(L, &delegate);
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) throw std::runtime_error("Cannot register module movri.lookup: " + error_text(L));
}

} // namespace mv::lua::lookup
