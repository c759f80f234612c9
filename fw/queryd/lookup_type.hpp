#pragma once

#include <optional>
#include <string>

#include "queryd_client_ipc.pb.h"

namespace fw::queryd {

// The back end kind selected by its name ("ldap", "cidr", ...). The name is lower-cased with the
// process locale first; an unknown name gives nothing.
std::optional<lp::LookupType> lookup_type_of(const std::string &name);

// The name of a back end kind ("ldap" for LOOKUP_LDAP), or the empty string for an unknown value.
std::string lookup_type_name(lp::LookupType type);

} // namespace fw::queryd
