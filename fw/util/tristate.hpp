#pragma once

#include <utility>
#include <variant>

namespace fw::util {

// A value that is not looked up yet (undefined), looked up and not available (none), or known.
template <class T> class tristate {
public:
  struct undefined_t {};
  struct none_t {};

  tristate() = default;
  tristate(none_t) : value_(none_t{}) {}
  tristate(T value) : value_(std::move(value)) {}

  bool undefined() const noexcept { return std::holds_alternative<undefined_t>(value_); }
  bool none() const noexcept { return std::holds_alternative<none_t>(value_); }
  bool has_value() const noexcept { return std::holds_alternative<T>(value_); }
  const T &value() const { return std::get<T>(value_); }

  void set_none() { value_ = none_t{}; }
  void set(T value) { value_ = std::move(value); }

private:
  std::variant<undefined_t, none_t, T> value_;
};

} // namespace fw::util
