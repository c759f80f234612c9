#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "mv/lua/coroutine.hpp"
#include "mv/lua/coroutine_make.hpp"
#include "mv/lua/log.hpp"
#include "mv/lua/movri/module.hpp"
#include "mv/lua/movri/tcp_endpoint.hpp"
#include "mv/lua/native.hpp"
#include "mv/lua/runtime.hpp"
#include "mv/lua/state.hpp"

namespace {

using strings = std::vector<std::string>;

// Text of a Lua value as tostring gives it (values with a failing __tostring are not used here).
std::string text_of(lua_State *L, int index) {
  size_t length = 0;
  const char *text = luaL_tolstring(L, index, &length);
  std::string result(text, length);
  lua_pop(L, 1);
  return result;
}

// A session-like owner of a coroutine running a chunk. It records how the thread ended; its hooks run
// last in each dispatch and may destroy the session.
class session_t : public mv::lua::coroutine_t {
public:
  session_t(lua_State *L, const std::string &name, const std::string &code)
      : coroutine_t(load(L, code), -1), name(name) {}

  std::string name;
  bool finished = false;
  std::vector<std::string> results;
  std::optional<std::string> error;
  int yields = 0;
  std::function<void(session_t *)> on_finish, on_error, on_yield;

private:
  static lua_State *load(lua_State *L, const std::string &code) {
    if (luaL_loadbuffer(L, code.data(), code.size(), "=session") != LUA_OK)
      throw std::runtime_error(mv::lua::error_text(L));
    return L;
  }
  void on_coroutine_finish() override {
    finished = true;
    for (int i = 1; i <= lua_gettop(thread()); ++i) results.push_back(text_of(thread(), i));
    if (auto hook = on_finish) hook(this);
  }
  void on_coroutine_error() override {
    error = mv::lua::error_text(thread());
    if (auto hook = on_error) hook(this);
  }
  void on_coroutine_yield() override {
    ++yields;
    lua_settop(thread(), 0);
    if (auto hook = on_yield) hook(this);
  }
};

// A prepared Lua state on an event loop, with the module "movri" and test globals:
//   op(v)           suspends the running coroutine until complete_ops() delivers v back
//   running_name()  the name of the running session, "task" for another coroutine, or "none"
//   destroy(name)   destroys the named session
class lua_fixture_t : public ::testing::Test {
protected:
  lua_fixture_t() {
    current() = this;
    luaL_openlibs(L);
    mv::lua::install_runtime(L);
    mv::lua::install_coroutine_make(L);
    mv::lua::movri::register_types(L, io);
    mv::lua::movri::register_module(L);
    mv::lua::log::set_log_function([](int, const std::string &) {});
    mv::lua::log::set_threshold(0);
    lua_register(L, "op", op);
    lua_register(L, "running_name", running_name);
    lua_register(L, "destroy", destroy);
  }
  ~lua_fixture_t() override {
    sessions.clear(); // coroutines go before the state closes
    mv::lua::log::set_log_function(nullptr);
    current() = nullptr;
  }

  // Runs code on the main state; returns its results as text, or "error: " + the error text.
  std::vector<std::string> eval(const std::string &code) {
    const int base = lua_gettop(L);
    if (luaL_loadbuffer(L, code.data(), code.size(), "=main") != LUA_OK ||
        lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK)
      return {"error: " + mv::lua::error_text(L)};
    std::vector<std::string> results;
    for (int i = base + 1; i <= lua_gettop(L); ++i) results.push_back(text_of(L, i));
    lua_settop(L, base);
    return results;
  }
  std::string eval1(const std::string &code) {
    auto results = eval(code);
    return results.empty() ? "(none)" : results.front();
  }

  // Creates a session running code; start() also starts it.
  session_t &make(const std::string &name, const std::string &code) {
    return *(sessions[name] = std::make_unique<session_t>(L, name, code));
  }
  session_t &start(const std::string &name, const std::string &code) {
    auto &session = make(name, code);
    session.resume(0);
    return session;
  }

  void run() {
    io.restart();
    io.run();
  }
  void complete_ops() {
    auto ops = std::move(pending_ops);
    pending_ops.clear();
    for (auto &op : ops) op();
  }

  boost::asio::io_context io;
  mv::lua::state_t L;
  std::map<std::string, std::unique_ptr<session_t>> sessions;
  std::vector<std::function<void()>> pending_ops;

private:
  static lua_fixture_t *&current() {
    static lua_fixture_t *fixture = nullptr;
    return fixture;
  }

  static int op_continue(lua_State *L, int, lua_KContext) { return 1; }
  static int op(lua_State *L) {
    luaL_checkany(L, 1);
    auto *co = mv::lua::coroutine_t::running(L);
    lua_pushvalue(L, 1);
    const int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    mv::lua::guarded(L, [&] {
      current()->pending_ops.push_back(co->wrap([co, ref] {
        lua_rawgeti(co->thread(), LUA_REGISTRYINDEX, ref);
        luaL_unref(co->thread(), LUA_REGISTRYINDEX, ref);
        co->resume(1);
      }));
      return 0;
    });
    return mv::lua::coroutine_t::yield(L, op_continue);
  }
  static int running_name(lua_State *L) {
    auto *running = mv::lua::coroutine_t::find_running(L);
    auto *session = dynamic_cast<session_t *>(running);
    lua_pushstring(L, session ? session->name.c_str() : running ? "task" : "none");
    return 1;
  }
  static int destroy(lua_State *L) {
    const char *name = luaL_checkstring(L, 1);
    return mv::lua::guarded(L, [&] {
      current()->sessions.erase(name);
      return 0;
    });
  }
};

using LuaRuntime = lua_fixture_t;

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

TEST_F(LuaRuntime, OwnerDestroyedByCodeItsThreadCalls) {
  bool dispatched = false;
  auto &a = make("A", "destroy('A')\nafter = running_name()\nok, e = pcall(op, 1)\nerror('never reported')");
  a.on_finish = a.on_error = a.on_yield = [&](session_t *) { dispatched = true; };
  a.resume(0);
  EXPECT_FALSE(dispatched);
  EXPECT_EQ(eval("return after, ok, e"), (strings{"none", "false", "No coroutine is running"}));
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

class Movri : public lua_fixture_t {
protected:
  Movri() { eval("mv = require 'movri'"); }
};

TEST_F(Movri, IpAddressTextEqualityMaskAndConcatenation) {
  EXPECT_EQ(eval("return tostring(mv.ip('10.0.0.1')), tostring(mv.ip('2001:DB8::1')),\n"
                 "  tostring(mv.ip('fe80::1%2')), tostring(mv.ip('::ffff:1.2.3.4')), mv.ip('1.2.3.4').other"),
            (strings{"10.0.0.1", "2001:db8::1", "fe80::1%2", "::ffff:1.2.3.4", "nil"}));
  EXPECT_EQ(eval("return mv.ip('1.2.3.4') == mv.ip('1.2.3.4'), mv.ip('fe80::1%2') == mv.ip('fe80::1%2'),\n"
                 "  mv.ip('fe80::1%2') == mv.ip('fe80::1%3'), mv.ip('::ffff:1.2.3.4') == mv.ip('1.2.3.4'),\n"
                 "  mv.ip('1.2.3.4') == '1.2.3.4'"),
            (strings{"true", "true", "false", "false", "false"}));
  EXPECT_EQ(eval("return tostring(mv.ip('192.168.17.5') & mv.ip('255.255.240.0')),\n"
                 "  tostring(mv.ip('2001:db8::ff%4') & mv.ip('ffff:ffff::')),\n"
                 "  select(2, pcall(function() return mv.ip('::1') & mv.ip('1.2.3.4') end)),\n"
                 "  select(2, pcall(function() return mv.ip('::1') & 5 end))"),
            (strings{"192.168.16.0", "2001:db8::", "main:3: Cannot mask ip addresses with different ip versions",
                     "Expected IpAddress, got number"}));

  lua_State *l = L;
  mv::lua::movri::push_tcp_endpoint(l, {boost::asio::ip::make_address("1.2.3.4"), 443});
  lua_setglobal(l, "ep");
  EXPECT_EQ(eval("local a = mv.ip('10.0.0.1')\n"
                 "return a .. '/24', 'ip=' .. a, a .. 5, a .. a, a .. ep,\n"
                 "  select(2, pcall(function() return a .. {} end))"),
            (strings{"10.0.0.1/24", "ip=10.0.0.1", "10.0.0.15", "10.0.0.110.0.0.1", "10.0.0.11.2.3.4:443",
                     "attempt to concatenate a table value"}));
}

TEST_F(Movri, AsyncAndWait) {
  auto &s = start("S", R"(
    local order = {}
    local t = mv.async(function(a, b)
      order[#order + 1] = 'task'
      mv.sleep(0.001)
      order[#order + 1] = 'task done'
      return a, b
    end, 1, 2)
    order[#order + 1] = 'after async'
    local x, y = t.wait()
    local x2, y2 = t:wait()
    order[#order + 1] = 'waited'
    return table.concat(order, ','), x, y, x2, y2
  )");
  run();
  EXPECT_EQ(s.results, (strings{"task,after async,task done,waited", "1", "2", "1", "2"}));

  // Failure: raised as exception userdata while waiting, the error object itself once failed.
  auto &f = start("F", R"(
    local failing = mv.async(function() mv.sleep(0) error('bad', 0) end)
    local ok, e = pcall(failing.wait)
    local ok2, e2 = pcall(failing.wait)
    local table_error = mv.async(function() error({ code = 7 }) end)
    local ok3, e3 = pcall(table_error.wait)
    local many = {}
    for i = 1, 100000 do many[i] = i end
    local count = select('#', mv.async(function(...) return select('#', ...) end, table.unpack(many)).wait())
    return ok, type(e), tostring(e), ok2, e2, ok3, e3.code, count
  )");
  run();
  EXPECT_EQ(f.results, (strings{"false", "userdata", "bad", "false", "bad", "false", "7", "1"}));

  // Waiters wake in the order they were added; a finished task answers outside any coroutine.
  eval("shared = mv.async(function() mv.sleep(0) return 'v' end)\norder = {}");
  start("A", "local v = shared.wait()\norder[#order + 1] = 'A:' .. v");
  start("B", "local v = shared.wait()\norder[#order + 1] = 'B:' .. v");
  EXPECT_EQ(eval1("return select(2, pcall(shared.wait))"), "No coroutine is running");
  run();
  EXPECT_EQ(eval("return table.concat(order, ','), shared.wait()"), (strings{"A:v,B:v", "v"}));
}

constexpr const char hook_text[] = R"(
  local C = require('coroutine.make')()
  function hook()
    mv.sleep(0)
    local t1 = mv.async(function() mv.sleep(0) return 'a' end)
    local t2 = mv.async(function(x) return x * 2 end, 21)
    local r = { t1.wait(), t2.wait(), t1.wait(), t2.wait() }
    local inner = C.wrap(function() mv.sleep(0) C.yield('inner') mv.sleep(0) return 'end' end)
    r[#r + 1] = inner()
    r[#r + 1] = inner()
    mv.sleep(0)
    reached = (reached or 0) + 1
    return table.concat(r, ',')
  end
)";

TEST_F(Movri, HookLikeSessionCompletesOrIsDestroyedMidSleep) {
  eval(hook_text);
  auto &whole = start("whole", "return hook()");
  run();
  EXPECT_EQ(whole.results, strings{"a,42,a,42,inner,end"});
  EXPECT_EQ(eval1("return reached"), "1");

  // Destroyed in its first sleep, and destroyed by itself at its third suspension (in a wait).
  bool dispatched = false;
  auto &early = start("early", "return hook()");
  early.on_finish = early.on_error = [&](session_t *) { dispatched = true; };
  sessions.erase("early");
  auto &late = make("late", "return hook()");
  late.on_finish = late.on_error = [&](session_t *) { dispatched = true; };
  late.on_yield = [](session_t *s) {
    if (s->yields == 3) delete s;
  };
  sessions["late"].release()->resume(0); // it destroys itself
  run();
  EXPECT_FALSE(dispatched);
  EXPECT_EQ(eval1("return reached"), "1");
}

} // namespace
