#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "mv/lua/coroutine.hpp"
#include "mv/lua/coroutine_make.hpp"
#include "mv/lua/log.hpp"
#include "mv/lua/movri/module.hpp"
#include "mv/lua/native.hpp"
#include "mv/lua/runtime.hpp"
#include "mv/lua/state.hpp"

namespace lua_test {

// Text of a Lua value as tostring gives it (values with a failing __tostring are not used here).
inline std::string text_of(lua_State *L, int index) {
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
//   complete_ops()  completes the pending ops from inside Lua (nested resumes)
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
    lua_register(L, "complete_ops", complete_ops_from_lua);
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
    auto session = std::make_unique<session_t>(L, name, code);
    auto &result = *session;
    sessions[name] = std::move(session);
    return result;
  }
  session_t &start(const std::string &name, const std::string &code) {
    auto &session = make(name, code);
    session.resume(0);
    return session;
  }
  // Forgets a session without destroying it (it destroys itself).
  session_t *release(const std::string &name) { return sessions[name].release(); }

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
  static int complete_ops_from_lua(lua_State *L) {
    return mv::lua::guarded(L, [&] {
      current()->complete_ops();
      return 0;
    });
  }
  static int destroy(lua_State *L) {
    const char *name = luaL_checkstring(L, 1);
    return mv::lua::guarded(L, [&] {
      current()->sessions.erase(name);
      return 0;
    });
  }
};

} // namespace lua_test
