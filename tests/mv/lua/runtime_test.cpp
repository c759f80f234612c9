#include "tests/mv/lua/lua_fixture.hpp"

using namespace lua_test;
using strings = std::vector<std::string>;

namespace {

class LuaRuntime : public lua_fixture_t {};

int throw_std(lua_State *L) {
  return mv::lua::guarded(L, []() -> int { throw std::runtime_error("boom"); });
}
int throw_other(lua_State *L) {
  return mv::lua::guarded(L, []() -> int { throw 42; });
}
int raise_positioned(lua_State *L) {
  return mv::lua::guarded(L, []() -> int { throw mv::lua::error_t("oops"); });
}
int raise_plain(lua_State *L) {
  return mv::lua::guarded(L, []() -> int { throw mv::lua::error_t("oops", false); });
}
int raise_arg(lua_State *L) {
  return mv::lua::guarded(L, []() -> int { throw mv::lua::arg_error_t(2, "wrong"); });
}

} // namespace

TEST_F(LuaRuntime, InstallsRegistryEntries) {
  lua_State *l = L;
  lua_getfield(l, LUA_REGISTRYINDEX, "mv.lua.regid_state");
  EXPECT_EQ(lua_touserdata(l, -1), static_cast<void *>(l));
  lua_getfield(l, LUA_REGISTRYINDEX, "mv.lua.coroutine");
  EXPECT_EQ(lua_type(l, -1), LUA_TLIGHTUSERDATA);
  EXPECT_EQ(lua_touserdata(l, -1), nullptr);
  for (const char *name : {"mv.lua.coroutine_tag", "mv.lua.coroutine_environment", "mv.lua.exception_ptr_metatable"}) {
    lua_getfield(l, LUA_REGISTRYINDEX, name);
    EXPECT_EQ(lua_type(l, -1), LUA_TTABLE) << name;
  }
  lua_settop(l, 0);
  // The table getter runs metamethods.
  EXPECT_EQ(eval1("local get = debug.getregistry()['mv.lua.table_getter']\n"
                  "return get(setmetatable({}, { __index = function(_, k) return k .. '!' end }), 'x')"),
            "x!");
  EXPECT_EQ(eval1("return debug.getregistry()['mv.lua.exception_ptr_metatable'].__name"),
            "mv.lua.exception_ptr_metatable");
}

TEST_F(LuaRuntime, MakeConstGivesReadOnlyViews) {
  EXPECT_EQ(eval(R"(
    local make_const = debug.getregistry()["mv.lua.make_const"]
    local t = { a = 1, _hidden = 2, ["~tilde"] = 3, nested = { x = 1, _y = 2 } }
    local v = make_const(t)
    local keys = {}
    for k in pairs(v) do keys[#keys + 1] = k end
    table.sort(keys)
    return make_const(t) == v, v.a, v._hidden, v["~tilde"], t._hidden, table.concat(keys, ","),
      v.nested == make_const(t.nested), v.nested._y, getmetatable(v), #make_const({ 1, 2, 3 }),
      tostring(make_const(setmetatable({}, { __tostring = function() return "T" end }))),
      "x" .. make_const(setmetatable({}, { __concat = function() return "cat" end })))"),
            (strings{"true", "1", "nil", "nil", "2", "a,nested", "true", "nil", "true", "3", "T", "cat"}));

  // Assignments fail at the assigning code, unless the object's metatable has a __newindex.
  EXPECT_EQ(eval("local make_const = debug.getregistry()['mv.lua.make_const']\n"
                 "local ok, e = pcall(function() make_const({}).a = 1 end)\n"
                 "local target = setmetatable({}, { __newindex = function(t, k, v) rawset(t, k, v * 2) end })\n"
                 "local view = make_const(target)\n"
                 "view.x = 21\n"
                 "local ok2, e2 = pcall(function() view._x = 1 end)\n"
                 "return ok, e, target.x, ok2, e2"),
            (strings{"false", "main:2: Table modification is not allowed", "42", "false",
                     "main:6: Table modification is not allowed"}));

  // The C++ entry point replaces the value on top of the stack.
  lua_State *l = L;
  lua_newtable(l);
  lua_pushinteger(l, 5);
  lua_setfield(l, -2, "_secret");
  ASSERT_EQ(mv::lua::make_const(l), LUA_OK);
  EXPECT_EQ(lua_gettop(l), 1);
  lua_getfield(l, -1, "_secret");
  EXPECT_TRUE(lua_isnil(l, -1));
  lua_settop(l, 0);
}

TEST_F(LuaRuntime, NativeOperationSuspendsAndResumesTheThread) {
  auto &a = make("A", "local x, y = ...\nlocal v = op(x + y)\nreturn v + 1, running_name()");
  lua_pushinteger(a.thread(), 2);
  lua_pushinteger(a.thread(), 3);
  a.resume(2);
  EXPECT_EQ(a.yields, 1);
  EXPECT_FALSE(a.finished);
  EXPECT_EQ(eval1("return running_name()"), "none");
  complete_ops();
  EXPECT_TRUE(a.finished);
  EXPECT_EQ(a.results, (strings{"6", "A"}));

  // A late or stray resume of a finished coroutine is dropped; its results stay.
  lua_pushinteger(a.thread(), 9);
  a.resume(1);
  EXPECT_EQ(lua_gettop(a.thread()), 2);
  EXPECT_EQ(a.results, (strings{"6", "A"}));

  EXPECT_EQ(eval1("return select(2, pcall(op, 1))"), "No coroutine is running");
}

TEST_F(LuaRuntime, NestedResumesRestoreTheRunningCoroutineAndEnvironment) {
  auto &b = start("B", "return op('b') .. running_name()");
  auto &a = start("A", "local before = running_name()\ncomplete_ops()\nreturn before, running_name()");
  EXPECT_EQ(b.results, (strings{"bB"}));
  EXPECT_EQ(a.results, (strings{"A", "A"}));

  // A coroutine created by a coroutine created by the session inherits the session's environment.
  lua_State *l = L;
  lua_getfield(l, LUA_REGISTRYINDEX, mv::lua::key::coroutine_environment);
  const int original = luaL_ref(l, LUA_REGISTRYINDEX);
  eval("debug.getregistry()['mv.lua.coroutine_environment'] = { name = 'session' }");
  auto &s = make("S", "local mv = require 'movri'\n"
                      "local task = mv.async(function()\n"
                      "  return mv.async(function() mv.sleep(0) return current_env().name end).wait()\n"
                      "end)\n"
                      "return task.wait(), current_env().name");
  lua_rawgeti(l, LUA_REGISTRYINDEX, original);
  lua_setfield(l, LUA_REGISTRYINDEX, mv::lua::key::coroutine_environment);
  s.resume(0);
  run();
  EXPECT_EQ(s.results, (strings{"session", "session"}));
  EXPECT_EQ(eval1("return tostring(current_env().name)"), "nil");
}

TEST_F(LuaRuntime, CompletionAfterDestructionDoesNothing) {
  bool dispatched = false;
  auto &a = make("A", "op(1)\nflag = true");
  a.on_finish = a.on_error = [&](session_t *) { dispatched = true; };
  a.resume(0);
  sessions.erase("A");
  complete_ops();
  EXPECT_FALSE(dispatched);
  EXPECT_EQ(eval1("return tostring(flag)"), "nil");
}

TEST_F(LuaRuntime, OwnerDestroyedByCodeItsThreadCalls) {
  bool dispatched = false;
  auto &a = make("A", "destroy('A')\nafter = running_name()\nok, e = pcall(op, 1)\nerror('never reported')");
  a.on_finish = a.on_error = a.on_yield = [&](session_t *) { dispatched = true; };
  a.resume(0);
  EXPECT_FALSE(dispatched);
  EXPECT_EQ(eval("return after, ok, e"), (strings{"none", "false", "No coroutine is running"}));
}

TEST_F(LuaRuntime, OwnerDestroyedInsideItsOwnDispatch) {
  auto destroy_self = [](session_t *s) { delete s; };
  make("F", "return 1").on_finish = destroy_self;
  make("E", "error('x')").on_error = destroy_self;
  make("Y", "op(1)\nflag = true").on_yield = destroy_self;
  for (const char *name : {"F", "E", "Y"}) release(name)->resume(0);
  complete_ops(); // the yielded one is gone: its completion does nothing
  EXPECT_EQ(eval1("return tostring(flag)"), "nil");
}

TEST_F(LuaRuntime, ForeignYieldsEndTheSession) {
  int errors = 0;
  auto &a = make("A", "coroutine.yield(1)");
  auto &b = make("B", "coroutine.yield()");
  a.on_error = b.on_error = [&](session_t *) { ++errors; };
  a.resume(0);
  b.resume(0);
  EXPECT_EQ(a.error, "Invalid coroutine tag");
  EXPECT_EQ(b.error, "Coroutine tag not found");
  // The thread is left suspended, but the coroutine takes no further resumes.
  a.resume(0);
  EXPECT_EQ(errors, 2);
}

TEST_F(LuaRuntime, NativeExceptionsBecomeLuaErrors) {
  lua_register(L, "throw_std", throw_std);
  lua_register(L, "throw_other", throw_other);
  lua_register(L, "raise_positioned", raise_positioned);
  lua_register(L, "raise_plain", raise_plain);
  lua_register(L, "raise_arg", raise_arg);
  EXPECT_EQ(eval("local _, e = pcall(throw_std)\n"
                 "local _, other = pcall(throw_other)\n"
                 "return type(e), tostring(e), tostring(other)"),
            (strings{"userdata", "boom", "Unexpected exception"}));
  EXPECT_EQ(eval("return select(2, pcall(function() raise_positioned() end)),\n"
                 "  select(2, pcall(function() raise_plain() end)),\n"
                 "  select(2, pcall(function() raise_arg() end))"),
            (strings{"main:1: oops", "oops", "main:3: bad argument #2 to 'raise_arg' (wrong)"}));
  // Calling __gc by hand, twice, releases the exception once.
  EXPECT_EQ(eval1("local _, e = pcall(throw_std)\n"
                  "getmetatable(e).__gc(e)\n"
                  "getmetatable(e).__gc(e)\n"
                  "return tostring(e)"),
            "Unexpected exception");

  // Native code recognises the userdata.
  lua_State *l = L;
  mv::lua::push_exception(l, std::make_exception_ptr(std::logic_error("carried")));
  const auto *carried = mv::lua::to_exception(l, -1);
  ASSERT_NE(carried, nullptr);
  EXPECT_EQ(mv::lua::exception_text(*carried), "carried");
  EXPECT_EQ(mv::lua::error_text(l), "carried");
  lua_newtable(l);
  EXPECT_EQ(mv::lua::to_exception(l, -1), nullptr);
  lua_settop(l, 0);
}

TEST_F(LuaRuntime, ErrorAndTypeTexts) {
  lua_State *l = L;
  auto text_of_pushed = [&](const std::string &expression) {
    luaL_dostring(l, ("return " + expression).c_str());
    return mv::lua::error_text(l);
  };
  EXPECT_EQ(text_of_pushed("'message'"), "message");
  EXPECT_EQ(text_of_pushed("7"), "7");
  EXPECT_EQ(text_of_pushed("1.5"), "1.5");
  EXPECT_EQ(text_of_pushed("{}"), "Unexpected error");
  EXPECT_EQ(text_of_pushed("true"), "Unexpected error");
  EXPECT_EQ(text_of_pushed("setmetatable({}, { __tostring = function() return 'shown' end })"), "shown");
  EXPECT_EQ(text_of_pushed("setmetatable({}, { __tostring = function() error('no') end })"), "Unexpected error");
  EXPECT_EQ(lua_gettop(l), 0);

  EXPECT_EQ(mv::lua::type_mismatch("string", LUA_TNIL), "Expected string, got nil");
  EXPECT_EQ(mv::lua::type_mismatch("string", LUA_TLIGHTUSERDATA), "Expected string, got light userdata");
  EXPECT_EQ(mv::lua::type_mismatch("string", LUA_TNONE), "Expected string, got no value");
}

TEST_F(LuaRuntime, CoroutineMakePassesForeignYieldsUp) {
  auto &a = start("A", R"(
    local C = require("coroutine.make")()
    local co = C.create(function(a)
      local b = op(a + 1)
      local c = C.yield(b * 10)
      return op(c) .. "!"
    end)
    local ok1, v1 = C.resume(co, 1)
    local ok2, v2 = C.resume(co, "x")
    local ok3, v3 = C.resume(co)
    return ok1, v1, ok2, v2, ok3, v3, C.status(co), C.isyieldable()
  )");
  EXPECT_EQ(a.yields, 1);
  complete_ops();
  EXPECT_EQ(a.yields, 2);
  complete_ops();
  EXPECT_EQ(a.results, (strings{"true", "20", "true", "x!", "false", "cannot resume dead coroutine", "dead", "true"}));

  auto &b = start("B", R"(
    local C = require("coroutine.make")("mytag")
    local gen = C.wrap(function() for i = 1, 3 do C.yield(op(i)) end end)
    local values = { gen(), gen(), gen() }
    local ok, e = pcall(C.wrap(function() error("bad", 0) end))
    return table.concat(values, ","), ok, e, coroutine.resume(coroutine.create(function() return C.yield(1) end))
  )");
  for (int i = 0; i < 3; ++i) complete_ops();
  // A plain coroutine resuming C.yield sees the tag.
  EXPECT_EQ(b.results, (strings{"1,2,3", "false", "bad", "true", "mytag", "1"}));
}
