// TEMPORARY stand-in
#pragma once

#include <cstdint>

#include "fw/util/service.hpp"
#include "linux_firewall_config.pb.h"

namespace fw::service {

// Stand-in for the packet marks service: takes the manual marks of the configuration as they are.
class marks_t : public fw::util::service_t {
public:
  explicit marks_t(const mv::DarorUvurarevUzuvid &config) : config_(config) {}

  void start() override {
    local_delivery_ = config_.local_delivery_mark().has_manual() ? config_.local_delivery_mark().manual() : 0;
    client_ = config_.client_packets_mark().has_manual() ? config_.client_packets_mark().manual() : 0;
    server_ = config_.server_packets_mark().has_manual() ? config_.server_packets_mark().manual() : 0;
    divert_[0] = config_.output_divert_enable() && config_.output_divert_mark().has_manual()
                     ? config_.output_divert_mark().manual()
                     : 0;
    divert_[1] = config_.input_divert_enable() && config_.input_divert_mark().has_manual()
                     ? config_.input_divert_mark().manual()
                     : 0;
    divert_[2] = config_.forward_divert_enable() && config_.forward_divert_mark().has_manual()
                     ? config_.forward_divert_mark().manual()
                     : 0;
  }

  std::uint32_t local_delivery_mark() const { return local_delivery_; }
  std::uint32_t client_packets_mark() const { return client_; }
  std::uint32_t server_packets_mark() const { return server_; }
  // direction 0 output, 1 input, 2 forward
  std::uint32_t divert_mark(unsigned direction) const { return direction < 3 ? divert_[direction] : 0; }

private:
  const mv::DarorUvurarevUzuvid &config_;
  std::uint32_t local_delivery_ = 0, client_ = 0, server_ = 0;
  std::uint32_t divert_[3] = {0, 0, 0};
};

} // namespace fw::service
