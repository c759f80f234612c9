// Sessions end to end with a real process finder: the context's lazy originator lookups for a real
// local connection, caching, artifacts, the context dump, and sessions destroyed while they wait.

#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "fw/lua/intercept/interfaces.hpp"
#include "fw/util/scoped_fd.hpp"
#include "tests/support/lua_host.hpp"
#include "tests/support/tcp.hpp"

namespace {

using fw::util::scoped_fd_t;

// A TCP connection on 127.0.0.1 owned by this process, seen from its client end.
struct local_connection_t {
  scoped_fd_t listener = tests::tcp::listen_on(0);
  scoped_fd_t client = tests::tcp::start_connect(tests::tcp::local_port(listener.get()));
  scoped_fd_t server = tests::tcp::accept_from(listener.get());
  fw::lua::intercept::connection_info_t info;

  local_connection_t() {
    EXPECT_EQ(tests::tcp::finish_connect(client.get()), tests::tcp::connect_outcome_t::established);
    const auto loopback = boost::asio::ip::address_v4::loopback();
    info.src = {loopback, tests::tcp::local_port(client.get())};
    info.dst = {loopback, tests::tcp::peer_port(client.get())};
    info.divert = "output";
  }
};

std::string own_exe() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

std::string own_user() { return ::getpwuid(::getuid())->pw_name; }

class Session : public tests::lua_host_test_t {
protected:
  const info_t remote = connection("10.1.1.1", 40000, "10.2.2.2", 80, "forward");
};

} // namespace

TEST_F(Session, OriginatorOfALocalConnection) {
  local_connection_t connection;
  load("function intercept_hook(ctx)\n"
       "  seen = string.format('%s %s %s', ctx.pid, ctx.exe_path, ctx.user)\n"
       "  again = ctx.user\n"
       "  return 'pass'\n"
       "end\n");
  const auto outcome = run(connection.info);
  ASSERT_EQ(outcome.verdict, verdict_t::pass) << outcome.error;
  // Read by the hook, so delivered although the verdict is pass.
  EXPECT_EQ(outcome.artifacts.user, own_user());
  EXPECT_EQ(outcome.artifacts.exe_path, own_exe());

  lua_State *L = lua->state();
  luaL_dostring(L, "return seen, again");
  EXPECT_EQ(std::string(lua_tostring(L, -2)), std::to_string(::getpid()) + " " + own_exe() + " " + own_user());
  EXPECT_EQ(std::string(lua_tostring(L, -1)), own_user());
  lua_pop(L, 2);

  // One PID lookup and one database call; the second read of user is a plain table read.
  EXPECT_EQ(log.count("Debug: Session 1: Getting originator PID for connection " +
                      fw::net::to_string(connection.info.src) + " --> " + fw::net::to_string(connection.info.dst)),
            1u) << log.all();
  EXPECT_EQ(log.count("Debug: Session 1: Attempting to retrieve originator user name"), 1u) << log.all();
  const std::string ids = "uid=" + std::to_string(::getuid()) + " gid=" + std::to_string(::getgid());
  EXPECT_EQ(log.count("Info: Session 1: PASS " + ids + " user=" + own_user() + " pid=" + std::to_string(::getpid()) +
                      " exe_path=" + own_exe()),
            1u)
      << log.all();
}

TEST_F(Session, CheckGathersArtifactsAndHookAssignmentsReplaceThem) {
  local_connection_t connection;
  load("function intercept_hook(ctx)\n"
       "  if mode == 'assign' then ctx.user = 'alice'; ctx.exe_path = '/bin/elsewhere' end\n"
       "  if mode == 'number' then ctx.user = 5 end\n"
       "  if mode == 'raise' then error('broken') end\n"
       "  return 'check'\n"
       "end\n");
  auto outcome = run(connection.info);
  EXPECT_EQ(outcome.verdict, verdict_t::check);
  EXPECT_EQ(outcome.artifacts.user, own_user());
  EXPECT_EQ(outcome.artifacts.exe_path, own_exe());

  // A failing hook still delivers the artifacts with its error.
  luaL_dostring(lua->state(), "mode = 'raise'");
  outcome = run(connection.info, "2");
  EXPECT_NE(outcome.error.find("broken"), std::string::npos);
  EXPECT_EQ(outcome.artifacts.user, own_user());

  luaL_dostring(lua->state(), "mode = 'assign'");
  outcome = run(connection.info, "3");
  EXPECT_EQ(outcome.artifacts.user, "alice");
  EXPECT_EQ(outcome.artifacts.exe_path, "/bin/elsewhere");
  EXPECT_EQ(log.count_containing("Session 3: Getting originator PID"), 0u);

  luaL_dostring(lua->state(), "mode = 'number'");
  outcome = run(connection.info, "4");
  EXPECT_EQ(outcome.artifacts.user, std::nullopt);
  EXPECT_EQ(outcome.artifacts.exe_path, own_exe());
  EXPECT_EQ(log.count("Warning: Session 4: Field \"user\" is not a string"), 1u) << log.all();
}

TEST_F(Session, DestroyedWhileWaiting) {
  local_connection_t connection;
  load("local mv = require 'movri'\n"
       "function intercept_hook(ctx)\n"
       "  if wait == 'sleep' then mv.sleep(0.01) else local _ = ctx.pid end\n"
       "  reached = true\n"
       "  return 'pass'\n"
       "end\n");
  for (const std::string wait : {"sleep", "pid"}) {
    SCOPED_TRACE(wait);
    luaL_dostring(lua->state(), ("wait = '" + wait + "'; reached = false").c_str());
    int calls = 0;
    // The hook runs up to its first suspension inside make_session.
    auto session = lua->make_session(connection.info, wait);
    session->set_result_handler([&](std::exception_ptr, verdict_t, fw::lua::intercept::artifacts_t) { ++calls; });
    session.reset();
    // Then the timer fires, or the finder answers, for a session that is gone.
    if (wait == "pid") {
      auto guard = boost::asio::make_work_guard(io);
      EXPECT_EQ(io.run_one(), 1u);
    }
    io.run();
    io.restart();
    EXPECT_EQ(calls, 0);
    luaL_dostring(lua->state(), "return reached");
    EXPECT_FALSE(lua_toboolean(lua->state(), -1));
    lua_pop(lua->state(), 1);
  }
}

TEST_F(Session, ContextOutlivesItsSession) {
  load("function intercept_hook(ctx) kept = ctx return 'pass' end");
  EXPECT_EQ(run(remote).verdict, verdict_t::pass);
  // Synchronous fields still read; an originator lookup needs a session thread to suspend.
  config.mutable_intercept_hook()->set_buffer("src = tostring(kept.src)\nlocal _ = kept.pid\n");
  EXPECT_EQ(start_error(), "Cannot load intercept hook: Cannot execute chunk: "
                           "[string \"src = tostring(kept.src)...\"]:2: No coroutine is running");
  luaL_dostring(lua->state(), "return src");
  EXPECT_EQ(std::string(lua_tostring(lua->state(), -1)), "10.1.1.1:40000");
  lua_pop(lua->state(), 1);
}

// The context dump lists what reads stored (ids the kernel reported only once read), and concurrent
// reads of an originator field share one PID lookup.
TEST_F(Session, ContextDumpListsKernelIdsOnceReadAndConcurrentReadsShareOneLookup) {
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
  info_t info = remote;
  info.uid = 1000;
  info.gid = 1001;
  EXPECT_EQ(run(info, "1").verdict, verdict_t::pass);
  luaL_dostring(lua->state(), "mode = 'uid'");
  EXPECT_EQ(run(info, "2").verdict, verdict_t::pass);
  EXPECT_EQ(log.count("Info: Session 1: PASS divert=forward"), 1u) << log.all();
  EXPECT_EQ(log.count("Info: Session 2: PASS divert=forward uid=1000"), 1u) << log.all();

  luaL_dostring(lua->state(), "mode = 'concurrent'");
  EXPECT_EQ(run(remote, "3").verdict, verdict_t::pass);
  EXPECT_EQ(log.count_containing("Session 3: Getting originator PID"), 1u) << log.all();
  EXPECT_EQ(log.count_containing("Session 3: Cannot get pid"), 1u) << log.all();
}
