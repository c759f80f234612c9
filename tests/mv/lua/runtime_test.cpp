#include "tests/mv/lua/lua_fixture.hpp"

using namespace lua_test;
using strings = std::vector<std::string>;

namespace {

class LuaRuntime : public lua_fixture_t {};

} // namespace

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
