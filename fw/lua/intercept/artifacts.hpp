#pragma once

#include <optional>
#include <string>

namespace fw::lua::intercept {

// What the scanning gateway learns about the originator of a connection, delivered with every verdict.
struct artifacts_t {
  std::optional<std::string> user;
  std::optional<std::string> exe_path;

  bool operator==(const artifacts_t &) const = default;
};

} // namespace fw::lua::intercept
