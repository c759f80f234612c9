#pragma once

#include <functional>
#include <memory>
#include <string>

#include "mv/log/log.hpp"

// The log of the Lua runtime. Every line written on behalf of Lua code (the module functions, the session
// getters) goes through the logger in effect, which a running coroutine may replace for the duration of
// its resume (a session prefixes its lines with its id; a task started with `async` writes through the
// logger of its creator). All loggers end in one global log function.
namespace mv::lua::log {

// Receives a level (mv::log::level_t values) and a text.
using function_t = std::function<void(int level, const std::string &text)>;
using logger_t = std::shared_ptr<const function_t>;

// Installs the global log function, where every logger ends. The daemon installs one at start-up that
// forwards level and text unchanged to its own log; until then lines go to the daemon log as well.
void set_log_function(function_t function);

// The runtime's own threshold (a line is written when its level is at least the threshold). It is not
// clamped: anything at or below Debug lets every level through.
void set_threshold(int threshold) noexcept;
int threshold() noexcept;
bool enabled(int level) noexcept;

// The logger in effect: initially the root logger, which calls the global log function.
logger_t current();
// Installs a logger (null installs the root logger) and returns the one it replaces.
logger_t exchange(logger_t logger);

// Writes a line through the logger in effect. Callers test enabled() before building the text.
void log(int level, const std::string &text);

} // namespace mv::lua::log

// Builds the text only when the runtime's threshold admits the level: MV_LUA_LOG(Debug, "x " + y).
#define MV_LUA_LOG(level, text)                                                                    \
  do {                                                                                             \
    if (::mv::lua::log::enabled(::mv::log::level)) ::mv::lua::log::log(::mv::log::level, (text));  \
  } while (0)
