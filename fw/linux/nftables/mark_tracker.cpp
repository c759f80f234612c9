#include "fw/linux/nftables/mark_tracker.hpp"

#include <stdexcept>

#include "fw/linux/nftables/constants.hpp"

namespace fw::linux::nftables {

namespace {

const mark_tracker_t::mark_value_t &mark_value(const std::variant<expr::data_t, mark_tracker_t::mark_value_t> &v) {
  if (const auto *m = std::get_if<mark_tracker_t::mark_value_t>(&v)) return *m;
  throw std::runtime_error("Unexpected index");
}

} // namespace

std::uint32_t mark_tracker_t::used_marks(const std::vector<expr::expression_t> &expressions) {
  mark_tracker_t tracker;
  for (const auto &expression : expressions) tracker.run(expression);
  return tracker.used_;
}

mark_tracker_t::register_t &mark_tracker_t::at(std::uint32_t number) { return registers_.at(number); }

void mark_tracker_t::clear() noexcept { registers_.fill(std::nullopt); }

void mark_tracker_t::load_or_set(std::optional<std::uint32_t> key, std::optional<std::uint32_t> dreg,
                                 std::optional<std::uint32_t> sreg) {
  if (key == meta_mark && dreg) {
    register_t &destination = at(*dreg);
    clear();
    destination = mark_value_t{0, 0xFFFFFFFFu};
  } else if (key == meta_mark && sreg) {
    const auto &source = at(*sreg).value();
    if (const auto *constant = std::get_if<expr::data_t>(&source))
      used_ |= constant->as_u32(); // the mark is set to a fixed value: all its bits are in use
    else
      used_ |= mark_value(source).ones;
    clear();
  } else {
    clear();
  }
}

void mark_tracker_t::run(const expr::expression_t &expression) {
  if (const auto *e = std::get_if<expr::immediate_t>(&expression)) {
    if (e->dreg && e->data) at(*e->dreg) = *e->data;
    else clear();
  } else if (const auto *e = std::get_if<expr::meta_t>(&expression)) {
    load_or_set(e->key, e->dreg, e->sreg);
  } else if (const auto *e = std::get_if<expr::ct_t>(&expression)) {
    static_assert(ct_mark == meta_mark, "both expressions use key 3 for the mark");
    load_or_set(e->key, e->dreg, e->sreg);
  } else if (const auto *e = std::get_if<expr::bitwise_t>(&expression)) {
    if (!e->sreg || !e->dreg || !e->len)
      throw std::runtime_error("bitwise_t: support only (exists dreg, sreg, len) in bitwise");
    if (!e->mask || !e->xor_) throw std::runtime_error("bitwise_t: rule is incorrect");
    const register_t &source = at(*e->sreg);
    register_t &destination = at(*e->dreg);
    if (!source) {
      clear();
      return;
    }
    const mark_value_t value = mark_value(*source);
    const std::uint32_t mask = e->mask->as_u32(), xor_ = e->xor_->as_u32();
    destination = mark_value_t{xor_ | value.ones | ~mask, mask & value.maybe & ~xor_};
  } else if (const auto *e = std::get_if<expr::cmp_t>(&expression)) {
    if (e->sreg)
      if (const register_t &source = at(*e->sreg)) used_ |= mark_value(*source).maybe;
    clear();
  } else {
    clear();
  }
}

} // namespace fw::linux::nftables
