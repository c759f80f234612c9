// The session's context dump lists what reads stored (ids the kernel reported only once read), and
// concurrent reads of an originator field share one PID lookup.

#include <gtest/gtest.h>

#include "tests/support/lua_host.hpp"

namespace {

class ContextDump : public tests::lua_host_test_t {};

TEST_F(ContextDump, KernelIdsAppearOnceReadAndConcurrentReadsShareOneLookup) {
  load("local movri = require 'movri'\n"
       "function intercept_hook(ctx)\n"
       "  if mode == 'uid' then local _ = ctx.uid end\n"
       "  if mode == 'concurrent' then\n"
       "    local a = movri.async(function() return ctx.pid end)\n"
       "    local b = movri.async(function() return ctx.pid end)\n"
       "    a.wait(); b.wait()\n"
       "  end\n"
       "  local _ = ctx.divert\n"
       "  return 'pass'\n"
       "end\n");
  info_t info = connection("10.1.1.1", 40000, "10.2.2.2", 80, "forward");
  info.uid = 1000;
  info.gid = 1001;
  EXPECT_EQ(run(info, "1").verdict, verdict_t::pass);
  luaL_dostring(lua->state(), "mode = 'uid'");
  EXPECT_EQ(run(info, "2").verdict, verdict_t::pass);
  EXPECT_EQ(log.count("Info: Session 1: PASS divert=forward"), 1u) << log.all();
  EXPECT_EQ(log.count("Info: Session 2: PASS divert=forward uid=1000"), 1u) << log.all();

  luaL_dostring(lua->state(), "mode = 'concurrent'");
  EXPECT_EQ(run(connection("10.1.1.1", 40000, "10.2.2.2", 80, "forward"), "3").verdict, verdict_t::pass);
  EXPECT_EQ(log.count_containing("Session 3: Getting originator PID"), 1u) << log.all();
  EXPECT_EQ(log.count_containing("Session 3: Cannot get pid"), 1u) << log.all();
}

} // namespace
