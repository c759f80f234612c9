#include "mv/log/console_log.hpp"

#include <string>

#include "mv/log/log.hpp"

namespace mv::log {

void cf_console_log_t::write(int level, std::string_view text) {
  std::string line = level_name(level);
  line.append(": ").append(text).append("\n");
  write_all(2, line);
}

void cf_console_log_t::out_of_memory() noexcept { write_all(2, "Error: Not enough memory\n"); }

} // namespace mv::log
