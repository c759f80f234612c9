#include <algorithm>
#include <chrono>
#include <fstream>

#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>

#include "fw/queryd/lookup_delegate.hpp"
#include "fw/service/siblings/queryd.hpp"
#include "mv/lua/lookup/module.hpp"
#include "mv/util/exceptions.hpp"
#include "tests/mv/lua/lua_fixture.hpp"
#include "tests/support/child_process.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = boost::filesystem;

// Records every request as text and keeps its handler for the test to complete, unless a target
// delegate (the real client) is set.
struct recording_delegate_t : mv::lua::lookup::delegate_t {
  std::vector<std::string> calls;
  std::vector<lookup_handler_t> lookups;
  std::vector<check_handler_t> checks;
  std::exception_ptr throw_on_submit;
  mv::lua::lookup::delegate_t *target = nullptr;

  static std::string text(params_t params) {
    std::sort(params.begin(), params.end());
    std::string t;
    for (const auto &[k, v] : params) t += (t.empty() ? "" : ",") + k + "=" + v;
    return "{" + t + "}";
  }
  void lookup(const std::string &type, const std::string &tag, const params_t &params, lookup_handler_t handler) override {
    calls.push_back("lookup " + type + " " + tag + " " + text(params));
    if (throw_on_submit) std::rethrow_exception(throw_on_submit);
    if (target) return target->lookup(type, tag, params, std::move(handler));
    lookups.push_back(std::move(handler));
  }
  void check(const std::string &type, const std::string &tag, const std::string &value, const params_t &params,
             check_handler_t handler) override {
    calls.push_back("check " + type + " " + tag + " " + value + " " + text(params));
    if (throw_on_submit) std::rethrow_exception(throw_on_submit);
    if (target) return target->check(type, tag, value, params, std::move(handler));
    checks.push_back(std::move(handler));
  }
};

struct lookup_test_t : lua_test::lua_fixture_t {
  recording_delegate_t delegate;

  lookup_test_t() { mv::lua::lookup::register_module(L, delegate); }

  static std::string session_code(const std::string &body) { return "local l = require 'movri.lookup'\n" + body; }
  std::string error_of(const lua_test::session_t &s) { return s.error ? *s.error : "(no error)"; }
};

TEST_F(lookup_test_t, ArgumentsReachTheDelegateAndAnswersComeBackAsLuaValues) {
  auto &s = start("s", session_code(R"(
    local a = l.lookup("LDAP@users", {user = "alice", domain = "corp", other = "x"})
    local b = l.check(setmetatable({}, {__tostring = function() return "10.1.2.3" end}), "cidr@a@b")
    local c = l.check("v", setmetatable({}, {__tostring = function() return "mask@m" end}), nil)
    return #a, a[1], a[2], b, c)"));
  EXPECT_EQ(s.yields, 1);
  ASSERT_EQ(delegate.lookups.size(), 1u);
  delegate.lookups[0](nullptr, {"x", "y"});
  ASSERT_EQ(delegate.checks.size(), 1u);
  delegate.checks[0](nullptr, true);
  ASSERT_EQ(delegate.checks.size(), 2u);
  delegate.checks[1](nullptr, false);
  EXPECT_EQ(delegate.calls, (std::vector<std::string>{"lookup LDAP users {domain=corp,other=x,user=alice}",
                                                      "check cidr a@b 10.1.2.3 {}", "check mask m v {}"}));
  ASSERT_TRUE(s.finished) << error_of(s);
  EXPECT_EQ(s.results, (std::vector<std::string>{"2", "x", "y", "true", "false"}));
}

TEST_F(lookup_test_t, BadArgumentsRaiseBeforeAnythingIsAsked) {
  auto &s = start("s", session_code(R"(
    local function e(f, ...) local ok, err = pcall(f, ...) return tostring(err) end
    return e(l.lookup, "users"), e(l.lookup, "x@y", {user = 5}), e(l.lookup, "x@y", {"a"}), e(l.lookup, "x@y", "s"),
           e(l.check, "v", "nosep"), e(l.check, "v", "x@y", {domain = true}), e(l.check, 5, "x@y"), e(l.check, {}, "x@y"),
           e(l.lookup, {}))"));
  ASSERT_TRUE(s.finished) << error_of(s);
  ASSERT_EQ(s.results.size(), 9u);
  const std::vector<std::string> suffixes = {
      "#1 to '?' (at character not found)",
      "#2 to '?' (all keys and values must be strings)",
      "#2 to '?' (all keys and values must be strings)",
      "#2 to '?' (all keys and values must be strings)",
      "#2 to '?' (at character not found)",
      "#3 to '?' (all keys and values must be strings)",
  };
  for (std::size_t i = 0; i < suffixes.size(); ++i)
    EXPECT_TRUE(lua_test::ends_with(s.results[i], suffixes[i])) << s.results[i];
  EXPECT_EQ(s.results[6], "Check: first arg must be a string or have __tostring metamethod");
  EXPECT_EQ(s.results[7], "Check: first arg must be a string or have __tostring metamethod");
  EXPECT_TRUE(lua_test::ends_with(s.results[8], "string expected, got table)")) << s.results[8];
  EXPECT_TRUE(delegate.calls.empty());
  // Outside a session nothing can wait for the answer; the module table is read-only.
  EXPECT_TRUE(lua_test::ends_with(eval1("return require('movri.lookup').lookup('a@b')"), "No coroutine is running"));
  EXPECT_TRUE(lua_test::ends_with(eval1("require('movri.lookup').check = nil"), "Table modification is not allowed"));
  EXPECT_TRUE(delegate.calls.empty());
}

TEST_F(lookup_test_t, FailuresAreRaisedWithTheirPrefixAndLateAnswersAreIgnored) {
  auto &s = start("s", session_code(R"(
    local ok1, e1 = pcall(l.lookup, "allmatch@t")
    local ok2, e2 = pcall(l.check, "v", "allmatch@t")
    return ok1, tostring(e1), ok2, tostring(e2))"));
  delegate.lookups.at(0)(std::make_exception_ptr(mv::cf_proto_exception_t(mv::EC_NO_SUCH_ENTRY, "no list t")), {"ignored"});
  delegate.checks.at(0)(std::make_exception_ptr(std::runtime_error("Unexpected lookup type")), true);
  ASSERT_TRUE(s.finished) << error_of(s);
  EXPECT_EQ(s.results, (std::vector<std::string>{"false", "Lookup: no list t", "false", "Check: Unexpected lookup type"}));

  // A failure thrown at submission (every serial in use) surfaces the same way.
  delegate.throw_on_submit = std::make_exception_ptr(std::runtime_error("Job serial number overflow"));
  auto &t = start("t", session_code("return l.check('v', 'cidr@x')"));
  EXPECT_EQ(error_of(t), "Check: Job serial number overflow");
  delegate.throw_on_submit = nullptr;

  // An answer for a session that is gone does nothing.
  start("u", session_code("return l.lookup('ad@x')"));
  sessions.erase("u");
  delegate.lookups.back()(nullptr, {"late"});
}

// Hooks against the QueryD stand-in through the real client: list answers decide verdicts.
TEST_F(lookup_test_t, HooksDecideFromTheStandInsAnswers) {
  const fs::path dir = fs::temp_directory_path() / fs::unique_path("lookup-%%%%%%%%");
  fs::create_directories(dir);
  std::ofstream((dir / "nets.txt").string()) << "10.0.0.0/8\n";
  std::ofstream((dir / "names.txt").string()) << "*.corp\n";
  std::ofstream((dir / "users.txt").string()) << "alice\nbob\n";
  std::ofstream((dir / "queryd.conf").string()) << "cidr blocked nets.txt\nmask names names.txt\nallmatch users users.txt\n";
  const std::string socket_path = (dir / "queryd.sock").string();
  tests::child_process_t queryd(std::string(MOVRI_TOOLS_DIR) + "/movri-queryd-lite",
                                {"--socket", socket_path, (dir / "queryd.conf").string()});
  ASSERT_TRUE(queryd.wait_for_output("listening on")) << queryd.output();

  struct provider_t : fw::queryd::queryd_t::link_provider_t {
    boost::asio::io_context &io;
    std::string path;
    int requests = 0;
    provider_t(boost::asio::io_context &io, std::string path) : io(io), path(std::move(path)) {}
    void get_link(handler_t handler) override {
      ++requests;
      boost::asio::post(io, [this, handler] {
        try {
          handler(nullptr, fw::service::queryd_t::connect(io, path));
        } catch (...) {
          handler(std::current_exception(), nullptr);
        }
      });
    }
  } provider(io, socket_path);
  fw::queryd::queryd_t client(io, provider);
  fw::queryd::lookup_delegate_t forward(client);
  delegate.target = &forward;

  const std::string hook = session_code(R"(
    local ip, host = ...
    local verdict = l.check(ip, "cidr@blocked") and "drop" or "pass"
    if l.check(host, "MASK@names") then verdict = verdict .. "+internal" end
    local users = l.lookup("allmatch@users", {user = "alice"})
    local ok, err = pcall(l.check, "x", "mask@nosuch")
    local ok2, err2 = pcall(l.lookup, "bogus@t")
    return verdict, table.concat(users, ","), tostring(err), tostring(err2))");
  // Both sessions are suspended in their first check before either is answered.
  auto &a = make("a", hook);
  lua_pushstring(a.thread(), "10.1.2.3");
  lua_pushstring(a.thread(), "www.example");
  a.resume(2);
  auto &b = make("b", hook);
  lua_pushstring(b.thread(), "192.168.0.1");
  lua_pushstring(b.thread(), "build.corp");
  b.resume(2);
  EXPECT_EQ(a.yields + b.yields, 2);
  const auto done = [](const lua_test::session_t &s) { return s.finished || s.error; };
  while (!(done(a) && done(b)) && io.run_one_for(5s) > 0) {
  }
  ASSERT_TRUE(a.finished) << error_of(a);
  ASSERT_TRUE(b.finished) << error_of(b);
  EXPECT_EQ(a.results, (std::vector<std::string>{"drop", "alice,bob", "Check: no list mask@nosuch",
                                                 "Lookup: Unexpected lookup type"}));
  EXPECT_EQ(b.results[0], "pass+internal");
  EXPECT_EQ(provider.requests, 1);
  EXPECT_TRUE(queryd.wait_for_output("check cidr@blocked \"10.1.2.3\" serial 0: true"));
  EXPECT_TRUE(queryd.wait_for_output("check cidr@blocked \"192.168.0.1\" serial 1: false"));
  EXPECT_TRUE(queryd.wait_for_output("lookup allmatch@users user \"alice\" serial"));
  sessions.clear();
  fs::remove_all(dir);
}

} // namespace
