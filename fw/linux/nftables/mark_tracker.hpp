#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "fw/linux/nftables/expr/expression.hpp"

namespace fw::linux::nftables {

// Follows the packet mark and the connection mark through a rule's registers and collects the mark
// bits the rule depends on or changes. A register is empty, holds a constant, or holds a value derived
// from a mark as (ones: bits known to be set, maybe: bits still taken from the mark).
class mark_tracker_t {
public:
  struct mark_value_t {
    std::uint32_t ones = 0;
    std::uint32_t maybe = 0;
  };
  using register_t = std::optional<std::variant<expr::data_t, mark_value_t>>;

  // Runs the expressions in order and returns the used bits. Errors (the rule is then skipped by the
  // caller): a register number above 23 (out of range), a set from an empty register (bad optional
  // access), a constant where a mark value is needed ("Unexpected index"), and the bitwise errors
  // "bitwise_t: support only (exists dreg, sreg, len) in bitwise" and "bitwise_t: rule is incorrect".
  // Setting a mark from a constant uses the constant's bits.
  static std::uint32_t used_marks(const std::vector<expr::expression_t> &expressions);

private:
  void run(const expr::expression_t &expression);
  void load_or_set(std::optional<std::uint32_t> key, std::optional<std::uint32_t> dreg,
                   std::optional<std::uint32_t> sreg);
  void clear() noexcept;
  register_t &at(std::uint32_t number);

  std::array<register_t, 24> registers_{};
  std::uint32_t used_ = 0;
};

} // namespace fw::linux::nftables
