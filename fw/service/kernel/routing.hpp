#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fw/util/configuration.hpp"
#include "fw/util/service.hpp"

namespace fw::service {

class marks_t;

// Delivers packets carrying the local delivery mark to the host itself: one IPv4 policy-routing rule
// (fwmark L -> table T) and one local route for every destination through "lo" in T, where T is the
// first table from 100 to 200 that nobody uses. What was installed is recorded in
// var_lib_dir/rule_info.dat, so the next start removes it even after a crash.
class routing_t : public util::service_t {
public:
  // Installs into marks a routing filter under which only this object's own rule does not count as
  // occupying its mark. Nothing is touched in the kernel.
  // ipv6: also an IPv6 rule (same mark) and local route (::/0 through "lo") in the first table from 100
  // to 200 that no IPv6 rule or route uses, recorded in the same state file.
  routing_t(const fw::configuration_t &configuration, marks_t &marks, bool ipv6 = false);
  // Removes the objects recorded in the state file; failures are only logged. Then takes the routing
  // filter out of the marks object again.
  ~routing_t() override;

  // Removes what the previous start (or a crashed process) installed, then installs when
  // autoconfigure_routing is on. Runtime errors "Cannot install local delivery route: " / "... rule: "
  // + the cause, "Cannot find free routing table"; system errors for the state file. A start that fails
  // after installing the route or the rule removes them again.
  void start() override;

private:
  struct rule_record_t {
    std::uint32_t table = 0;
    std::uint32_t mark = 0;
    std::optional<std::int64_t> priority;
    std::optional<std::uint32_t> ipv6_table; // the IPv6 objects' table, when they are installed
  };

  // Removes the state file at path and the objects it records. Raises for file errors other than a
  // missing file; kernel deletions only log.
  void clean_up(const std::string &path);
  static std::uint32_t free_table(std::uint8_t family);
  // Adds the IPv6 route and rule of the record; a failure removes everything and the state file.
  void install_ipv6(const std::string &path, const rule_record_t &record);
  static void write_state_file(const std::string &path, const rule_record_t &record);
  static void remove_state_file(const std::string &path) noexcept;

  const fw::configuration_t &configuration_;
  marks_t &marks_;
  std::optional<rule_record_t> installed_rule_;
  std::optional<std::uint32_t> route_table_; // set while the route of this process is installed
  std::optional<std::string> path_;
  bool ipv6_ = false;
};

} // namespace fw::service
