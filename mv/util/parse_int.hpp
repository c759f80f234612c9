#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace mv::util {

// A decimal integer with at most one leading "+" or "-" that fits 32 bits signed; nothing else (no
// spaces, no trailing characters, not empty).
std::optional<std::int32_t> parse_int32(std::string_view text) noexcept;

} // namespace mv::util
