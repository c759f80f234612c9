#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "fw/lua/intercept/connection_info.hpp"
#include "fw/lua/intercept/driver.hpp"
#include "fw/service/hook/lua.hpp"
#include "fw/service/hook/process_finder.hpp"
#include "fw/queryd/queryd.hpp"
#include "fw/util/configuration.hpp"
#include "mv/lua/coroutine.hpp"
#include "mv/util/exceptions.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/error_text.hpp"

namespace tests {

// A Lua hook host with a real process finder on a real event loop, inside a fresh network namespace,
// with every log line captured. Its QueryD client can never connect.
class lua_host_test_t : public ::testing::Test, public fw::queryd::queryd_t::link_provider_t {
protected:
  using verdict_t = fw::lua::intercept::verdict_t;
  using info_t = fw::lua::intercept::connection_info_t;

  // What one session delivered to its result handler.
  struct outcome_t {
    int calls = 0;
    std::optional<verdict_t> verdict; // absent when an error was delivered
    std::string error;
    fw::lua::intercept::artifacts_t artifacts;
  };

  void SetUp() override {
    tests::enter_fresh_netns();
    if (IsSkipped() || HasFatalFailure()) return;
    finder = std::make_unique<fw::service::process_finder_t>(io);
    queryd = std::make_unique<fw::queryd::queryd_t>(io, *this);
    lua = std::make_unique<fw::service::lua_t>(io, config, *finder, *queryd);
  }
  void get_link(handler_t handler) override {
    boost::asio::post(io, [handler = std::move(handler)] {
      handler(std::make_exception_ptr(std::runtime_error("QueryD is not here")), nullptr);
    });
  }

  // Loads a hook given as text.
  void load(const std::string &text) {
    config.mutable_intercept_hook()->set_buffer(text);
    lua->start();
  }
  // The message of what start() throws, or "" when it succeeds.
  std::string start_error() { return error_text([&] { lua->start(); }, ""); }

  static info_t connection(const std::string &src, unsigned short src_port, const std::string &dst,
                           unsigned short dst_port, const std::string &divert = "output") {
    info_t info;
    info.src = {boost::asio::ip::make_address_v4(src), src_port};
    info.dst = {boost::asio::ip::make_address_v4(dst), dst_port};
    info.divert = divert;
    return info;
  }

  // Opens a session, installs the handler and runs the event loop until the handler ran. The handler
  // must run after make_session returned and outside any Lua resume.
  outcome_t run(const info_t &info, const std::string &id = "1") {
    outcome_t outcome;
    bool returned = false;
    auto guard = boost::asio::make_work_guard(io);
    auto session = lua->make_session(info, id);
    returned = true;
    session->set_result_handler([&](std::exception_ptr error, verdict_t verdict, fw::lua::intercept::artifacts_t artifacts) {
      EXPECT_TRUE(returned);
      EXPECT_EQ(mv::lua::coroutine_t::find_running(lua->state()), nullptr);
      ++outcome.calls;
      if (error) outcome.error = mv::util::describe_exception(error);
      else outcome.verdict = verdict;
      outcome.artifacts = std::move(artifacts);
    });
    while (outcome.calls == 0) io.run_one();
    guard.reset();
    io.restart();
    io.poll();
    io.restart();
    return outcome;
  }

  tests::log_capture_t log;
  boost::asio::io_context io;
  fw::configuration_t config;
  std::unique_ptr<fw::service::process_finder_t> finder;
  std::unique_ptr<fw::queryd::queryd_t> queryd;
  std::unique_ptr<fw::service::lua_t> lua;
};

} // namespace tests
