#include "fw/service/logger.hpp"

#include "mv/log/log.hpp"
#include "mv/log/log_factory.hpp"
#include "mv/lua/log.hpp"

namespace fw::service {

int logger_t::threshold_for(int log_level) noexcept {
  return log_level >= 1 && log_level <= 4 ? log_level - 1 : mv::log::Error;
}

void logger_t::start() {
  mv::log::threshold = threshold_for(config_.log_level());
  if (auto sink = mv::log::make_log(config_.actual_log())) {
    mv::log::set_log(std::move(sink));
  } else if (!mv::log::is_installed()) {
    // A log type without a sink: keep logging to standard error rather than nowhere.
    mv::log::set_log(mv::log::default_log());
    MV_LOG(Warning, "Logger: log type " + std::to_string(config_.actual_log().type()) +
                        " has no sink, logging to standard error");
  } else {
    MV_LOG(Warning, "Logger: log type " + std::to_string(config_.actual_log().type()) +
                        " has no sink, keeping the previous log");
  }
  // The Lua runtime's threshold follows the configured level as it is, without the clamping above.
  mv::lua::log::set_threshold(static_cast<int>(config_.log_level()) - 1);
}

} // namespace fw::service
