#pragma once

#include <cstddef>
#include <cstdint>

// The IP security option (the Basic Security Option, type 130) inside IPv4 options. An option is
// handled through a pointer to its first byte; a null pointer means none.
namespace fw::net {

inline constexpr std::uint8_t security_option_type = 130;

// The Basic Security Option with classification level Unclassified. It stands for an absent option
// whenever two options are compared and is never sent.
inline constexpr std::uint8_t default_security_option[3] = {130, 3, 0xAB};

// Walks an options area of the given length and returns the security option, or null when there is
// none, when there are two, or when the options are malformed.
const std::uint8_t *find_security_option(const std::uint8_t *options, std::size_t length);

// 0 for none, 1 for end-of-list and no-operation, otherwise the option's length byte.
std::size_t option_length(const std::uint8_t *option);

// Equal length and equal bytes; none on either side counts as the default option.
bool security_options_match(const std::uint8_t *a, const std::uint8_t *b);

} // namespace fw::net
