#pragma once

#include "fw/util/service.hpp"
#include "fw/util/configuration.hpp"

namespace fw::service {

// Installs the log sink and threshold of each configuration.
class logger_t : public fw::util::service_t {
public:
  explicit logger_t(const fw::configuration_t &config) : config_(config) {}
  void start() override;

  // Threshold for a configured log_level: level - 1 for 1..4, Error for anything else.
  static int threshold_for(int log_level) noexcept;

private:
  const fw::configuration_t &config_;
};

} // namespace fw::service
