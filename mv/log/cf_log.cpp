#include "mv/log/cf_log.hpp"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace mv::log {

void cf_log_t::write(std::string_view source, int number, std::string_view text) {
  std::string line;
  line.append(source).append(": ").append(std::to_string(number)).append(": ").append(text);
  write(2, line);
}

void write_all(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

} // namespace mv::log
