#pragma once

#include <memory>

#include "log.pb.h"
#include "mv/log/cf_log.hpp"

namespace mv::log {

// Builds the sink an mv.Log describes, with the extra copy to COM_MOVRI_ADD_LOG_PIPE where it applies.
// Returns null for a type without a sink. Throws a filesystem error "Cannot create log" when a log file
// cannot be opened.
std::shared_ptr<cf_log_t> make_log(const mv::Log &config);

// The syslog facility for a configured one (LOG_DAEMON for anything unlisted).
int syslog_facility(int facility) noexcept;

} // namespace mv::log
