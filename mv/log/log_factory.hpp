#pragma once

#include <memory>

#include "log.pb.h"
#include "mv/log/cf_log.hpp"

namespace mv::log {

// Builds the sink an mv.Log describes, with the extra copy to COM_MOVRI_ADD_LOG_PIPE where it applies.
// Returns null for a type without a sink. Throws a filesystem error "Cannot create log" when a log file
// cannot be opened.
std::shared_ptr<cf_log_t> make_log(const mv::Log &config);

// Looks at COM_MOVRI_ADD_LOG_PIPE before the process opens any descriptor of its own: an open descriptor
// becomes close-on-exec, so programs the daemon starts do not hold the pipe; a number under which nothing
// is open is remembered, and make_log then reports the variable as wrong instead of writing into
// whatever the daemon opened under that number meanwhile.
void adopt_log_pipe() noexcept;

// The syslog facility for a configured one (LOG_DAEMON for anything unlisted).
int syslog_facility(int facility) noexcept;

} // namespace mv::log
