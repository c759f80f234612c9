#pragma once

#include <cstdint>

#include "fw/util/service.hpp"

namespace fw::hubd {
class tie_t;
}

namespace fw::service {

// Last service of the start order: tells HubD which configuration revision is now in force.
class appinfo_reporter_t : public fw::util::service_t {
public:
  appinfo_reporter_t(fw::hubd::tie_t &hubd, const std::uint32_t *revision) : hubd_(hubd), revision_(revision) {}
  void start() override;

private:
  fw::hubd::tie_t &hubd_;
  const std::uint32_t *revision_;
};

} // namespace fw::service
