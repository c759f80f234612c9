#include <gtest/gtest.h>

#include "fw/service/logger.hpp"
#include "mv/log/log.hpp"
#include "mv/lua/log.hpp"

// The logger's start also sets the Lua runtime's threshold: the configured level minus one.
TEST(LoggerLuaThreshold, FollowsTheConfiguredLevel) {
  mv::DarorUvurarevUzuvid config;
  config.mutable_actual_log()->set_type(mv::Log::STDERR);
  fw::service::logger_t logger(config);

  mv::lua::log::set_threshold(3);
  logger.start(); // log_level unset reads as Debug
  EXPECT_EQ(mv::lua::log::threshold(), mv::log::Debug);

  config.set_log_level(mv::LOG_LEVEL_ERROR);
  logger.start();
  EXPECT_EQ(mv::lua::log::threshold(), mv::log::Error);
  EXPECT_EQ(mv::log::threshold.load(), mv::log::Error);

  config.set_log_level(mv::LOG_LEVEL_NOTICE);
  logger.start();
  EXPECT_EQ(mv::lua::log::threshold(), mv::log::Notice);
}
