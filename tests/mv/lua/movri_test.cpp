#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <boost/asio/ip/tcp.hpp>

#include "mv/lua/movri/tcp_endpoint.hpp"
#include "tests/mv/lua/lua_fixture.hpp"

using namespace lua_test;
using strings = std::vector<std::string>;

namespace {

class Movri : public lua_fixture_t {
protected:
  Movri() { eval("mv = require 'movri'"); }
};

} // namespace

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

namespace {

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

} // namespace

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
  release("late")->resume(0);
  run();
  EXPECT_FALSE(dispatched);
  EXPECT_EQ(eval1("return reached"), "1");
}
