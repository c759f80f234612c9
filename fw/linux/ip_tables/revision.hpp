#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fw::linux::ip_tables {

enum class extension_kind_t { match, target };

// The highest revision in [lowest, highest] of the named match or target that the kernel supports.
// System errors: "Cannot create raw socket"; ENOENT "match 'name'" / "target 'name'" when the kernel
// does not know the extension; EOPNOTSUPP with the same text when no revision in the range is supported;
// "getsockopt" for any other failure.
std::uint8_t probe_revision(extension_kind_t kind, const std::string &name, std::uint8_t lowest, std::uint8_t highest);

// A probe done once per process: the first successful answer is kept, a failure is raised again on the
// next use (the module may have been loaded meanwhile).
class cached_revision_t {
public:
  cached_revision_t(extension_kind_t kind, std::string name, std::uint8_t lowest, std::uint8_t highest)
      : kind_(kind), name_(std::move(name)), lowest_(lowest), highest_(highest) {}
  std::uint8_t get();

private:
  extension_kind_t kind_;
  std::string name_;
  std::uint8_t lowest_, highest_;
  std::optional<std::uint8_t> revision_;
};

} // namespace fw::linux::ip_tables
