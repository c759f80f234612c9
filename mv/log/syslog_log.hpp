#pragma once

#include <optional>
#include <string>

#include "mv/log/cf_log.hpp"

namespace mv::log {

// Records go to syslog at the priority of their level, without level name or time stamp.
class cf_syslog_log_t : public cf_log_t {
public:
  cf_syslog_log_t(std::optional<std::string> ident, int facility);
  ~cf_syslog_log_t() override;
  void open() override;
  void write(int level, std::string_view text) override;
  using cf_log_t::write;
  void out_of_memory() noexcept override;

  static int priority(int level) noexcept;

private:
  std::optional<std::string> ident_; // openlog keeps the pointer: it must outlive the sink
  int facility_;
};

} // namespace mv::log
