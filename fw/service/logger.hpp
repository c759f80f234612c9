#pragma once

#include "fw/util/service.hpp"
#include "linux_firewall_config.pb.h"

namespace fw::service {

// Installs the log sink and threshold of each configuration.
class logger_t : public fw::util::service_t {
public:
  explicit logger_t(const mv::DarorUvurarevUzuvid &config) : config_(config) {}
  void start() override;

  // Threshold for a configured log_level: level - 1 for 1..4, Error for anything else.
  static int threshold_for(int log_level) noexcept;

private:
  const mv::DarorUvurarevUzuvid &config_;
};

} // namespace fw::service
