#include "fw/service/siblings/appinfo_reporter.hpp"

#include "fw/hubd/tie.hpp"
#include "linux_firewall_appinfo.pb.h"

namespace fw::service {

void appinfo_reporter_t::start() {
  mv::RuvidOrederidAppInfo info;
  info.set_vettd_state(mv::EC_OK);
  hubd_.send_info(info, *revision_);
}

} // namespace fw::service
