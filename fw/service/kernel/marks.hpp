#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "fw/util/configuration.hpp"
#include "fw/util/service.hpp"

namespace fw::service {

// Settles the six single-bit packet marks at every start: manual values from the configuration are
// validated, automatic ones take the lowest bits that no other software on the host uses in its
// iptables "nat" and "mangle" rules, routing rules and routes, or nftables rules. The daemon's own
// rules are recognised by their comment and its routing rule by the routing filter, so a repeated
// start finds the same bits free again.
class marks_t : public util::service_t {
public:
  // (table id, mark) -> whether the mark of a routing rule in that table counts as occupied.
  using routing_filter_t = std::function<bool(std::uint32_t table, std::uint32_t mark)>;

  // The places beyond the iptables tables where other software's marks are found.
  class delegate_t {
  public:
    virtual ~delegate_t() = default;
    // (table id, fwmark) of every IPv4 routing rule and route that carries both.
    virtual std::vector<std::pair<std::uint32_t, std::uint32_t>> routing_marks() = 0;
    // Runs the nftables probe; when nftables is usable, the mark bits that other software's nftables
    // rules use; nothing when it is not (those rules are then not inspected).
    virtual std::optional<std::uint32_t> nftables_marks() = 0;
  };

  // With the host's own sources (rtnetlink dumps, nftables).
  explicit marks_t(const fw::configuration_t &configuration);
  marks_t(const fw::configuration_t &configuration, delegate_t &sources);
  ~marks_t() override;

  // Raises a runtime error on any violation; the marks are then all 0.
  void start() override;

  // Replaced by the local delivery routing before the first start; the default counts every mark.
  routing_filter_t &routing_filter() noexcept { return routing_filter_; }

  std::uint32_t local_delivery_mark() const noexcept { return marks_[local_delivery]; }
  std::uint32_t client_packets_mark() const noexcept { return marks_[client_packets]; }
  std::uint32_t server_packets_mark() const noexcept { return marks_[server_packets]; }
  // Direction 0 output, 1 input, 2 forward; 0 for a disabled direction, a direction without mark, or
  // any other number.
  std::uint32_t divert_mark(int direction) const noexcept;

private:
  // Marks in the order of validation and assignment.
  enum index_t { local_delivery, client_packets, server_packets, input_divert, output_divert, forward_divert, count };

  // The bits that other software uses in iptables and routing.
  std::uint32_t foreign_marks();

  const fw::configuration_t &configuration_;
  std::unique_ptr<delegate_t> own_sources_;
  delegate_t &sources_;
  routing_filter_t routing_filter_ = [](std::uint32_t, std::uint32_t) { return true; };
  std::array<std::uint32_t, count> marks_{};
};

} // namespace fw::service
