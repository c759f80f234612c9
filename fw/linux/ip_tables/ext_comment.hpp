#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "fw/linux/ip_tables/extension.hpp"

namespace fw::linux::ip_tables {

// "comment" match, revision 0, 288 bytes: the text at 32, 256 bytes zero-padded. A text of 256
// characters or more raises a runtime error.
extension_t comment_match(std::string_view text);

// The text of a "comment" match of 288 bytes; nothing for any other extension.
std::optional<std::string> comment_text(const extension_t &match);

} // namespace fw::linux::ip_tables
