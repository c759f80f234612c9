#include "fw/queryd/lookup_type.hpp"

#include <cctype>
#include <utility>

namespace fw::queryd {

namespace {

const std::pair<const char *, lp::LookupType> names[] = {
    {"ldap", lp::LOOKUP_LDAP},         {"ad", lp::LOOKUP_AD},         {"pq", lp::LOOKUP_PQ},
    {"sqlite", lp::LOOKUP_SQLITE},     {"mysql", lp::LOOKUP_MYSQL},   {"redis", lp::LOOKUP_REDIS},
    {"allmatch", lp::LOOKUP_ALLMATCH}, {"regex", lp::LOOKUP_REGEX},   {"cidr", lp::LOOKUP_CIDR},
    {"mask", lp::LOOKUP_MASK},
};

} // namespace

std::optional<lp::LookupType> lookup_type_of(const std::string &name) {
  std::string lower(name);
  for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto &[text, type] : names)
    if (lower == text) return type;
  return std::nullopt;
}

std::string lookup_type_name(lp::LookupType type) {
  for (const auto &[text, t] : names)
    if (t == type) return text;
  return std::string();
}

} // namespace fw::queryd
