#pragma once

namespace fw::app {

inline constexpr const char *program_name = "movri-firewall";
inline constexpr const char *version = MOVRI_VERSION;
inline constexpr const char *application_name = "RuvidOrederid";

} // namespace fw::app
