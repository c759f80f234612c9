#include "mv/log/syslog_log.hpp"

#include <string>
#include <syslog.h>

#include "mv/log/log.hpp"

namespace mv::log {

cf_syslog_log_t::cf_syslog_log_t(std::optional<std::string> ident, int facility)
    : ident_(std::move(ident)), facility_(facility) {}

cf_syslog_log_t::~cf_syslog_log_t() { ::closelog(); }

void cf_syslog_log_t::open() { ::openlog(ident_ ? ident_->c_str() : nullptr, LOG_PID, facility_); }

int cf_syslog_log_t::priority(int level) noexcept {
  switch (level) {
  case Debug: return LOG_DEBUG;
  case Info: return LOG_INFO;
  case Notice: return LOG_NOTICE;
  case Warning: return LOG_WARNING;
  default: return LOG_ERR;
  }
}

void cf_syslog_log_t::write(int level, std::string_view text) {
  std::string copy(text);
  ::syslog(priority(level), "%s", copy.c_str());
}

void cf_syslog_log_t::out_of_memory() noexcept { ::syslog(LOG_ERR, "%s", "Error: Not enough memory"); }

} // namespace mv::log
