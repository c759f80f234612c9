#pragma once

#include <boost/system/error_code.hpp>

namespace fw::app {

// Exit status for an error code: a suite error code that names an enumerator unchanged, otherwise the
// first equivalent generic condition of the daemon's table, otherwise 125.
int exit_status_of(const boost::system::error_code &code) noexcept;

} // namespace fw::app
