#include "mv/lua/log.hpp"

#include <atomic>
#include <utility>

namespace mv::lua::log {

namespace {

std::atomic<int> threshold_value{mv::log::Debug};

function_t &global_function() {
  static function_t function = [](int level, const std::string &text) { mv::log::log(level, text); };
  return function;
}

const logger_t &root_logger() {
  static const logger_t root = std::make_shared<const function_t>([](int level, const std::string &text) {
    if (auto &function = global_function()) function(level, text);
  });
  return root;
}

logger_t &current_logger() {
  static logger_t logger = root_logger();
  return logger;
}

} // namespace

void set_log_function(function_t function) { global_function() = std::move(function); }

void set_threshold(int threshold) noexcept { threshold_value.store(threshold, std::memory_order_relaxed); }

int threshold() noexcept { return threshold_value.load(std::memory_order_relaxed); }

bool enabled(int level) noexcept { return threshold() <= level; }

logger_t current() { return current_logger(); }

logger_t exchange(logger_t logger) {
  if (!logger) logger = root_logger();
  return std::exchange(current_logger(), std::move(logger));
}

void log(int level, const std::string &text) {
  // A copy: the logger may replace itself while it writes.
  logger_t logger = current_logger();
  (*logger)(level, text);
}

} // namespace mv::lua::log
