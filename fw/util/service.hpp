#pragma once

namespace fw::util {

// Base of every long-lived part of the daemon. A service is built once; start() is called with each
// configuration the daemon receives and brings the service in line with it. start() may throw.
class service_t {
public:
  virtual ~service_t() = default;
  virtual void start() {}

protected:
  service_t() = default;
  service_t(const service_t &) = delete;
  service_t &operator=(const service_t &) = delete;
};

} // namespace fw::util
