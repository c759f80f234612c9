#pragma once

#include <string>

#include "rules.pb.h"

namespace fw::service {

// Divert directions: 0 output (connections local processes open), 1 input (connections to local
// servers), 2 forward (connections routed through the host).

// "OUTPUT", "INPUT", "FORWARD"; empty for any other number.
inline std::string divert_log_name(unsigned direction) {
  static const char *const names[] = {"OUTPUT", "INPUT", "FORWARD"};
  return direction < 3 ? names[direction] : "";
}

// "output", "input", "forward"; empty for any other number.
inline std::string divert_name(unsigned direction) {
  static const char *const names[] = {"output", "input", "forward"};
  return direction < 3 ? names[direction] : "";
}

// The direction as the scanning gateway's rule variables name it.
inline mv::Divert divert_value(unsigned direction) {
  static const mv::Divert values[] = {mv::D_OUTPUT, mv::D_INPUT, mv::D_FORWARD};
  return direction < 3 ? values[direction] : mv::D_OUTPUT;
}

} // namespace fw::service
