#pragma once

#include "linux_firewall_config.pb.h"

namespace fw {

// The configuration HubD hands over, one copy for the whole daemon; every service reads its part of it.
using configuration_t = mv::DarorUvurarevUzuvid;

} // namespace fw
