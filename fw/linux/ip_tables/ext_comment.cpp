#include "fw/linux/ip_tables/ext_comment.hpp"

#include <cstring>
#include <stdexcept>

namespace fw::linux::ip_tables {
namespace {
constexpr std::size_t text_size = 256;
constexpr std::size_t block_size = extension_t::header_size + text_size;
} // namespace

extension_t comment_match(std::string_view text) {
  if (text.size() >= text_size) throw std::runtime_error("comment: text too long");
  extension_t match("comment", 0, text_size);
  match.set_bytes(extension_t::header_size, text.data(), text.size());
  return match;
}

std::optional<std::string> comment_text(const extension_t &match) {
  if (!match.is("comment", block_size)) return std::nullopt;
  const char *text = reinterpret_cast<const char *>(match.bytes().data() + extension_t::header_size);
  return std::string(text, ::strnlen(text, text_size));
}

} // namespace fw::linux::ip_tables
