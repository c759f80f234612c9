#pragma once

#include "mv/log/cf_log.hpp"

namespace mv::log {

// "Level: text" lines on standard error.
class cf_console_log_t : public cf_log_t {
public:
  void write(int level, std::string_view text) override;
  using cf_log_t::write;
  void out_of_memory() noexcept override;
};

} // namespace mv::log
