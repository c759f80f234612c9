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

TEST_F(Movri, IpConstructorErrors) {
  EXPECT_EQ(eval("return select(2, pcall(mv.ip)), select(2, pcall(mv.ip, '1.2.3.4', '5.6.7.8')),\n"
                 "  select(2, pcall(mv.ip, 5)), select(2, pcall(mv.ip, '1.2.3')),\n"
                 "  select(2, pcall(function() return mv.ip(nil) end))"),
            (strings{"Cannot create IpAddress: bad arguments", "Cannot create IpAddress: bad arguments",
                     "Cannot create IpAddress from number", "Cannot create IpAddress from \"1.2.3\": Invalid argument",
                     "main:3: Cannot create IpAddress from nil"}));
}

TEST_F(Movri, BelongsToSubnets) {
  EXPECT_EQ(eval(R"(
    local a = mv.ip('10.0.0.1')
    return a.belongs('10.0.0.0/8'), a.belongs({ '192.168.0.0/255.255.0.0', '10.0.0.0/8' }),
      a.belongs('10.0.0.1'), a.belongs('10.0.0.2'), a.belongs('11.0.0.0/8'), a.belongs('99.9.9.9/0'),
      a.belongs('10.200.3.4/8'), a.belongs('10.0.0.0/255.255.255.255'), a.belongs('0.0.0.0/0.0.0.0'),
      a.belongs({}), mv.ip('10.0.0.1').belongs('10.0.0.0/31'), mv.ip('10.0.0.2').belongs('10.0.0.0/31'))"),
            (strings{"true", "true", "true", "false", "false", "true", "true", "false", "true", "false", "true",
                     "false"}));
  EXPECT_EQ(eval(R"(
    local a = mv.ip('2001:db8::1')
    return a.belongs('2001:db8::/32'), a.belongs('2001:db9::/32'), a.belongs('2001:db8::/127'),
      mv.ip('2001:db8::3').belongs('2001:db8::/127'), a.belongs('::/0'), mv.ip('fe80::1%2').belongs('fe80::/10'),
      a.belongs('2001:db8::1'))"),
            (strings{"true", "false", "true", "false", "true", "true", "true"}));

  // Every subnet is parsed for the address's own version before any is tested.
  const std::string bad = "bad argument #1 to 'belongs' (";
  EXPECT_EQ(eval(R"(
    local a, b = mv.ip('10.0.0.1'), mv.ip('::1')
    local function e(address, subnets)
      local _, text = pcall(function() return address.belongs(subnets) end)
      return (text:gsub('^main:%d+: ', ''))
    end
    return e(a, '10.0.0.0/255.0.255.0'), e(a, '::1/128'), e(a, '10.0.0.0/33'), e(a, '10.0.0.0/8/8'),
      e(a, '10.0.0.0/'), e(a, { '10.0.0.0/8', 'nonsense' }), e(a, { '10.0.0.0/8', 5 }), e(a, 5),
      e(b, '::/129'), e(b, '::/ffff::'), e(b, '10.0.0.0/8'))"),
            (strings{bad + "Invalid subnet: 10.0.0.0/255.0.255.0)", bad + "Invalid subnet: ::1/128)",
                     bad + "Invalid subnet: 10.0.0.0/33)", bad + "Invalid subnet: 10.0.0.0/8/8)",
                     bad + "Invalid subnet: 10.0.0.0/)", bad + "Invalid subnet: nonsense)",
                     bad + "all elements of subnet array must be strings)", bad + "must be string or array of strings)",
                     bad + "Invalid subnet: ::/129)", bad + "Invalid subnet: ::/ffff::)",
                     bad + "Invalid subnet: 10.0.0.0/8)"}));
  // With a colon the address itself becomes argument 1 and is rejected.
  EXPECT_EQ(eval1("local a = mv.ip('10.0.0.1')\nreturn pcall(function() return a:belongs('10.0.0.0/8') end)"), "false");
}

TEST_F(Movri, TcpEndpoints) {
  lua_State *l = L;
  mv::lua::movri::push_tcp_endpoint(l, {boost::asio::ip::make_address("1.2.3.4"), 443});
  lua_setglobal(l, "ep");
  mv::lua::movri::push_tcp_endpoint(l, {boost::asio::ip::make_address("2001:db8::1"), 80});
  lua_setglobal(l, "ep6");
  EXPECT_EQ(eval("return ep.port == 443, tostring(ep.port), math.type(ep.port), rawequal(ep.ip, ep.ip),\n"
                 "  tostring(ep.ip), ep.ip == mv.ip('1.2.3.4'), tostring(ep), tostring(ep6), ep.other,\n"
                 "  ep .. '/x', 'to ' .. ep, ep .. ep6, ep.ip.belongs('1.2.3.0/24')"),
            (strings{"true", "443.0", "float", "true", "1.2.3.4", "true", "1.2.3.4:443", "[2001:db8::1]:80", "nil",
                     "1.2.3.4:443/x", "to 1.2.3.4:443", "1.2.3.4:443[2001:db8::1]:80", "true"}));
  // The address outlives the endpoint that handed it out; calling __gc by hand does no harm.
  EXPECT_EQ(eval("local address = ep.ip\nlocal gc = getmetatable(ep).__gc\ngc(ep)\ngc(ep)\n"
                 "ep = nil\ncollectgarbage()\ncollectgarbage()\nreturn tostring(address)"),
            strings{"1.2.3.4"});
}

TEST_F(Movri, LogFunctions) {
  eval("mv.info('hello')\n"
       "mv.log('WARNING', 5)\n"
       "mv.debug(setmetatable({}, { __tostring = function() return 'T' end }))\n"
       "mv.error(nil)\n"
       "mv.notice('n')\n"
       "mv.log('Debug', 'd')");
  EXPECT_EQ(lines, (std::vector<std::pair<int, std::string>>{
                       {1, "Lua: hello"}, {3, "Lua: 5"}, {0, "Lua: T"}, {4, "Lua: nil"}, {2, "Lua: n"}, {0, "Lua: d"}}));
  EXPECT_EQ(eval("local function e(f) return (select(2, pcall(f)):gsub('^main:%d+: ', '')) end\n"
                 "return e(function() mv.log('bogus', 1) end), e(function() mv.log('info') end),\n"
                 "  e(function() mv.info() end)"),
            (strings{"bad argument #1 to 'log' (invalid log level 'bogus')",
                     "bad argument #2 to 'log' (value expected)", "bad argument #1 to 'info' (value expected)"}));

  lines.clear();
  mv::lua::log::set_threshold(mv::log::Notice);
  eval("mv.debug('d') mv.info('i') mv.notice('n') mv.error('e')");
  EXPECT_EQ(log_texts(), (strings{"Lua: n", "Lua: e"}));
  mv::lua::log::set_threshold(-1);
  eval("mv.debug('d')");
  EXPECT_EQ(log_texts(), (strings{"Lua: n", "Lua: e", "Lua: d"}));
}

TEST_F(Movri, ListFiles) {
  char directory[] = "/tmp/movri-lua-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string dir = directory;
  std::ofstream(dir + "/three") << "one\n\nthree\n";
  std::ofstream(dir + "/mixed") << " padded \n\t \r\nb\nb\nlast";
  lua_pushstring(L, dir.c_str());
  lua_setglobal(L, "dir");
  EXPECT_EQ(eval("local array = mv.load_array(dir .. '/three')\n"
                 "local mixed = mv.load_array(dir .. '/mixed')\n"
                 "local set = mv.load_set(dir .. '/mixed')\n"
                 "local keys = {}\nfor k, v in pairs(set) do keys[#keys + 1] = k .. '=' .. tostring(v) end\n"
                 "table.sort(keys)\n"
                 "return #array, array[1], array[2], table.concat(mixed, '|'), table.concat(keys, '|')"),
            (strings{"2", "one", "three", " padded |b|b|last", " padded =true|b=true|last=true"}));
  EXPECT_EQ(eval("return select(2, pcall(function() return mv.load_set(dir .. '/missing') end)),\n"
                 "  select(2, pcall(function() return mv.load_array(dir) end))"),
            (strings{"Cannot open " + dir + "/missing: No such file or directory", "Cannot read " + dir + ": Is a directory"}));
  std::system(("rm -rf " + dir).c_str());
}

TEST_F(Movri, ModuleTableIsReadOnly) {
  EXPECT_EQ(eval("local ok, e = pcall(function() mv.ip = nil end)\n"
                 "local ok2 = pcall(function() mv.extra = 1 end)\n"
                 "local names = {}\nfor k in pairs(mv) do names[#names + 1] = k end\ntable.sort(names)\n"
                 "return ok, e, ok2, getmetatable(mv), table.concat(names, ','), require('movri') == mv,\n"
                 "  type(mv.ip), rawget(_G, 'movri')"),
            (strings{"false", "main:1: Table modification is not allowed", "false", "true",
                     "async,debug,error,info,ip,load_array,load_set,log,notice,sleep,warning", "true", "function",
                     "nil"}));
}

TEST_F(Movri, SleepSuspendsThroughTheEventLoop) {
  auto &s = start("S", "mv.sleep(0)\nmv.sleep(-5)\nmv.sleep('0')\nmv.sleep(0/0)\nreturn 'done'");
  EXPECT_EQ(s.yields, 1);
  EXPECT_FALSE(s.finished);
  run();
  EXPECT_EQ(s.yields, 4);
  EXPECT_EQ(s.results, strings{"done"});

  EXPECT_EQ(eval("return select(2, pcall(mv.sleep, 0)), (select(2, pcall(function() mv.sleep('x') end)))"),
            (strings{"No coroutine is running", "main:1: bad argument #1 to 'sleep' (number expected, got string)"}));

  // Where the thread cannot yield, no timer starts (it would later resume the session at a wrong place).
  auto &c = start("C", "local ok, e = pcall(tostring, setmetatable({}, { __tostring = function() mv.sleep(0) end }))\n"
                       "mv.sleep(0)\n"
                       "return e");
  run();
  EXPECT_EQ(c.yields, 1);
  EXPECT_EQ(c.results, strings{"session:1: attempt to yield across a C-call boundary"});

  // A delay beyond the clock's range saturates (last: the timer never fires).
  auto &forever = start("F", "mv.sleep(1e300)\nreached = true");
  eval("pending = mv.async(function() mv.sleep(1e300) reached = true end)"); // collected when the state closes
  io.poll();
  EXPECT_EQ(forever.yields, 1);
  EXPECT_EQ(eval1("return tostring(reached)"), "nil");
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

TEST_F(Movri, LongChainsOfWaitingTasks) {
  eval("tasks = { mv.async(function() mv.sleep(0) return 1 end) }\n"
       "for i = 2, 30000 do\n"
       "  local previous = tasks[i - 1]\n"
       "  tasks[i] = mv.async(function() return previous.wait() + 1 end)\n"
       "end");
  run();
  EXPECT_EQ(eval1("return tasks[30000].wait()"), "30000");

  // Tasks that start tasks at once nest on the C stack: the interpreter's own limit ends the recursion.
  EXPECT_EQ(eval("depth = 0\n"
                 "local function f() depth = depth + 1 return mv.async(f).wait() end\n"
                 "local ok, e = pcall(mv.async(f).wait)\n"
                 "return depth > 10 and depth < 1000, e"),
            (strings{"true", "main:2: C stack overflow"}));
}

TEST_F(Movri, TasksLogThroughTheirCreatorsLogger) {
  start("S", "mv.info('in session')\n"
             "mv.async(function() mv.sleep(0) mv.info('in task') end)\n"
             "mv.sleep(0)\nmv.sleep(0)\nmv.info('back')");
  run();
  eval("mv.info('top')");
  EXPECT_EQ(log_texts(), (strings{"S: Lua: in session", "S: Lua: in task", "S: Lua: back", "Lua: top"}));
}

TEST_F(Movri, CollectedTasksAreAbandoned) {
  // Collected while suspended: its completion resumes nobody.
  start("S", "mv.async(function() mv.sleep(0) flag = true end)\ncollectgarbage()\ncollectgarbage()\nmv.sleep(0)");
  // Collected during its own resume: the rest of its code finds no running coroutine, and the
  // creator's logger does not stay installed.
  start("T", "keep = mv.async(function()\n"
             "  mv.sleep(0)\n"
             "  keep = nil\n"
             "  collectgarbage()\n"
             "  collectgarbage()\n"
             "  result = select(2, pcall(mv.sleep, 0))\n"
             "  mv.info('late')\n"
             "end)");
  run();
  eval("mv.info('top')");
  EXPECT_EQ(eval("return tostring(flag), result"), (strings{"nil", "No coroutine is running"}));
  EXPECT_EQ(log_texts(), (strings{"T: Lua: late", "Lua: top"}));
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
