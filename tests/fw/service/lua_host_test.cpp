// The Lua hook host: loading the chunk, and how the hook's answer becomes a verdict or an error.

#include <string>

#include <gtest/gtest.h>

#include "tests/support/lua_host.hpp"

namespace {

class LuaHost : public tests::lua_host_test_t {
protected:
  // A connection without a local process: artifact lookups find nothing.
  const info_t remote = connection("10.1.1.1", 40000, "10.2.2.2", 80);
};

} // namespace

TEST_F(LuaHost, LoadingFailures) {
  EXPECT_EQ(start_error(), "Cannot load intercept hook: No chunk set");

  config.mutable_intercept_hook()->set_buffer("function intercept_hook(ctx)\n  return 'pass'\n");
  EXPECT_EQ(start_error(), "Cannot load intercept hook: Cannot load chunk: [string \"function intercept_hook(ctx)...\"]:3: "
                           "'end' expected (to close 'function' at line 1) near <eof>");

  config.mutable_intercept_hook()->set_file("/nonexistent/hook.lua");
  EXPECT_EQ(start_error(), "Cannot load intercept hook: Cannot load file /nonexistent/hook.lua: "
                           "cannot open /nonexistent/hook.lua: No such file or directory");

  config.mutable_intercept_hook()->set_buffer("error('not today')");
  EXPECT_EQ(start_error(), "Cannot load intercept hook: Cannot execute chunk: [string \"error('not today')\"]:1: not today");

  config.mutable_intercept_hook()->set_buffer("intercept_hook = {}");
  EXPECT_EQ(start_error(), "Cannot load intercept hook: Cannot find function intercept_hook");

  // A chunk may break the package table; the next start refuses, unwrapped.
  config.mutable_intercept_hook()->set_buffer("package = 5\nfunction intercept_hook() return 'pass' end");
  EXPECT_EQ(start_error(), "");
  EXPECT_EQ(start_error(), "Global variable 'package' is not a table but number");
}

TEST_F(LuaHost, AnswersBecomeVerdictsOrErrors) {
  load("function intercept_hook(ctx) return answer end");
  const struct {
    std::string answer; // a Lua expression
    std::optional<verdict_t> verdict;
    std::string error;
  } cases[] = {
      {"'pass'", verdict_t::pass, ""},
      {"'Pass'", verdict_t::pass, ""},
      {"'PASS'", verdict_t::pass, ""},
      {"'DROP'", verdict_t::drop, ""},
      {"'Reject'", verdict_t::reject, ""},
      {"'check'", verdict_t::check, ""},
      {"'pass '", std::nullopt, "incorrect return value: pass "},
      {"'ALLOW'", std::nullopt, "incorrect return value: allow"},
      {"nil", std::nullopt, "Expected string, got nil"},
      {"{}", std::nullopt, "Expected string, got table"},
      {"1", std::nullopt, "Expected string, got number"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.answer);
    ASSERT_EQ(luaL_dostring(lua->state(), ("answer = " + c.answer).c_str()), LUA_OK);
    const auto outcome = run(remote);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.verdict, c.verdict);
    EXPECT_EQ(outcome.error, c.error);
  }
}

TEST_F(LuaHost, FailuresOfTheHookFallBackWithTheirMessage) {
  load("local mv = require 'movri'\n"
       "function intercept_hook(ctx)\n"
       "  if mode == 'raise' then error('hook broke') end\n"
       "  if mode == 'table' then error({}) end\n"
       "  if mode == 'yield' then coroutine.yield('x') end\n"
       "  return 'pass'\n"
       "end\n");
  const auto outcome_for = [&](const std::string &mode) {
    EXPECT_EQ(luaL_dostring(lua->state(), ("mode = '" + mode + "'").c_str()), LUA_OK);
    return run(remote);
  };
  auto raised = outcome_for("raise");
  EXPECT_EQ(raised.error, "[string \"local mv = require 'movri'...\"]:3: hook broke");
  EXPECT_EQ(raised.calls, 1);
  EXPECT_EQ(outcome_for("table").error.rfind("table: 0x", 0), 0u);
  // A yield that is not the runtime's ends the session outside the hook's protection.
  EXPECT_EQ(outcome_for("yield").error, "Invalid coroutine tag");
  EXPECT_EQ(log.count("Info: Session 1: Invalid coroutine tag: "), 1u) << log.all();
}
