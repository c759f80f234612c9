#include "mv/log/file_log.hpp"

#include <string>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "mv/log/log.hpp"

namespace mv::log {

cf_file_log_t::cf_file_log_t(int fd, bool owns_fd) : fd_(fd), owns_fd_(owns_fd), pid_(::getpid()) {}

cf_file_log_t::~cf_file_log_t() {
  if (owns_fd_ && fd_ >= 0) ::close(fd_);
}

void cf_file_log_t::write(int level, std::string_view text) {
  std::string line = boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time());
  line.append(" [").append(std::to_string(pid_)).append("] ").append(level_name(level)).append(": ");
  line.append(text).append("\n");
  write_all(fd_, line);
}

void cf_file_log_t::out_of_memory() noexcept { write_all(fd_, "Error: Not enough memory\n"); }

} // namespace mv::log
