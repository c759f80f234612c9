#include "mv/log/log_factory.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <syslog.h>

#include <boost/filesystem/exception.hpp>

#include "mv/log/console_log.hpp"
#include "mv/log/file_log.hpp"
#include "mv/log/log.hpp"
#include "mv/log/syslog_log.hpp"
#include "mv/util/parse_int.hpp"

namespace mv::log {

namespace {

// The descriptor that COM_MOVRI_ADD_LOG_PIPE named at start-up while nothing was open under its number:
// whatever the daemon opened under that number since is not the pipe.
std::optional<int> missing_pipe;

bool is_open(int fd) noexcept { return fd >= 0 && ::fcntl(fd, F_GETFD) >= 0; }

cf_log_t::hook_t pipe_hook() {
  const char *value = std::getenv("COM_MOVRI_ADD_LOG_PIPE");
  if (!value) return {};
  auto fd = mv::util::parse_int32(value);
  if (!fd || fd == missing_pipe || !is_open(*fd)) {
    MV_LOG(Error, "Log Factory: Wrong environment variable COM_MOVRI_ADD_LOG_PIPE");
    return {};
  }
  MV_LOG(Debug, "Log Factory: Additional log - " + std::to_string(*fd));
  return [fd = *fd](std::string_view record) {
    std::string line(record);
    line.push_back('\n');
    write_all(fd, line);
  };
}

} // namespace

void adopt_log_pipe() noexcept {
  missing_pipe.reset();
  const char *value = std::getenv("COM_MOVRI_ADD_LOG_PIPE");
  const auto fd = value ? mv::util::parse_int32(value) : std::nullopt;
  if (!fd) return;
  if (is_open(*fd))
    ::fcntl(*fd, F_SETFD, FD_CLOEXEC);
  else
    missing_pipe = *fd;
}

int syslog_facility(int facility) noexcept {
  switch (facility) {
  case mv::Log::USER: return LOG_USER;
  case mv::Log::MAIL: return LOG_MAIL;
  case mv::Log::LOCAL0: return LOG_LOCAL0;
  case mv::Log::LOCAL1: return LOG_LOCAL1;
  case mv::Log::LOCAL2: return LOG_LOCAL2;
  case mv::Log::LOCAL3: return LOG_LOCAL3;
  case mv::Log::LOCAL4: return LOG_LOCAL4;
  case mv::Log::LOCAL5: return LOG_LOCAL5;
  case mv::Log::LOCAL6: return LOG_LOCAL6;
  case mv::Log::LOCAL7: return LOG_LOCAL7;
  default: return LOG_DAEMON;
  }
}

std::shared_ptr<cf_log_t> make_log(const mv::Log &config) {
  auto hook = pipe_hook();
  std::shared_ptr<cf_log_t> sink;
  switch (config.type()) {
  case mv::Log::FILE: {
    int fd = ::open(config.path().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
      int first_error = errno;
      fd = ::open(config.path().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
      if (fd < 0)
        throw boost::filesystem::filesystem_error(
            "Cannot create log", config.path(),
            boost::system::error_code(first_error, boost::system::system_category()));
    }
    sink = std::make_shared<cf_file_log_t>(fd, true);
    break;
  }
  case mv::Log::STDERR:
    hook = {};
    if (config.show_timestamp())
      sink = std::make_shared<cf_file_log_t>(2, false);
    else
      sink = std::make_shared<cf_console_log_t>();
    break;
  case mv::Log::SYSLOG: {
    std::optional<std::string> ident;
    if (config.has_ident()) ident = config.ident();
    sink = std::make_shared<cf_syslog_log_t>(std::move(ident), syslog_facility(config.facility()));
    break;
  }
  default:
    return nullptr;
  }
  sink->message_hook = std::move(hook);
  return sink;
}

} // namespace mv::log
