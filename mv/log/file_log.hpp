#pragma once

#include <sys/types.h>

#include "mv/log/cf_log.hpp"

namespace mv::log {

// "2026-Dec-05 12:34:56 [pid] Level: text" lines on a descriptor, closed on destruction if owned.
class cf_file_log_t : public cf_log_t {
public:
  cf_file_log_t(int fd, bool owns_fd);
  ~cf_file_log_t() override;
  void write(int level, std::string_view text) override;
  using cf_log_t::write;
  void out_of_memory() noexcept override;

private:
  int fd_;
  bool owns_fd_;
  pid_t pid_;
};

} // namespace mv::log
