#include "fw/linux/ip_tables/ext_mark.hpp"

#include "fw/linux/ip_tables/revision.hpp"

namespace fw::linux::ip_tables {
namespace {

cached_revision_t mark_match_revision(extension_kind_t::match, "mark", 1, 1);
cached_revision_t connmark_match_revision(extension_kind_t::match, "connmark", 1, 1);
cached_revision_t mark_target_revision(extension_kind_t::target, "MARK", 2, 2);
cached_revision_t connmark_target_revision(extension_kind_t::target, "CONNMARK", 1, 2);

extension_t mark_like_match(const char *name, std::uint8_t revision, std::uint32_t mark, std::uint32_t mask,
                            bool invert) {
  extension_t match(name, revision, 9);
  match.set_u32(32, mark);
  match.set_u32(36, mask);
  match.set_u8(40, invert ? 1 : 0);
  return match;
}

} // namespace

extension_t mark_match(std::uint32_t mark, std::uint32_t mask, bool invert) {
  return mark_like_match("mark", mark_match_revision.get(), mark, mask, invert);
}

extension_t connmark_match(std::uint32_t mark, std::uint32_t mask, bool invert) {
  return mark_like_match("connmark", connmark_match_revision.get(), mark, mask, invert);
}

extension_t mark_target(std::uint32_t mark, std::uint32_t mask) {
  extension_t target("MARK", mark_target_revision.get(), 8);
  target.set_u32(32, mark);
  target.set_u32(36, mask);
  return target;
}

extension_t connmark_target(std::uint32_t ctmark, std::uint32_t ctmask, std::uint32_t nfmask) {
  const std::uint8_t revision = connmark_target_revision.get();
  extension_t target("CONNMARK", revision, revision >= 2 ? 15 : 13);
  target.set_u32(32, ctmark);
  target.set_u32(36, ctmask);
  target.set_u32(40, nfmask);
  target.set_u8(revision >= 2 ? 46 : 44, 0); // XT_CONNMARK_SET, no shift
  return target;
}

std::optional<std::uint32_t> mark_match_value(const extension_t &match) {
  if (!match.is("mark", 48)) return std::nullopt;
  return match.u32(32);
}

std::optional<std::uint32_t> mark_target_value(const extension_t &target) {
  if (!target.is("MARK", 40)) return std::nullopt;
  return target.u32(32);
}

} // namespace fw::linux::ip_tables
