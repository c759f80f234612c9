// The HubD stand-in reading a configuration file (protobuf text format of mv.DarorUvurarevUzuvid): a
// text is either refused with "file:line:column: message" or read into a configuration that HubD can
// complete, hand to the daemon in a frame, and that reads back the same on the daemon's side.

#include <string>
#include <variant>

#include <google/protobuf/text_format.h>

#include "hubd_linux_firewall_ipc.pb.h"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"
#include "tools/movri-hubd-lite/config_file.hpp"

namespace {

// Protobuf's own complaints go nowhere.
void silence_protobuf() {
  static const bool silenced = [] {
    google::protobuf::SetLogHandler([](google::protobuf::LogLevel, const char *, int, const std::string &) {});
    return true;
  }();
  (void)silenced;
}

} // namespace

FUZZ_TARGET(hubd_lite_config)(const std::uint8_t *data, std::size_t size) {
  silence_protobuf();
  const std::string name = "/etc/movri/firewall.conf";
  auto result = hubd_lite::parse_config(std::string(reinterpret_cast<const char *>(data), size), name);
  if (const auto *error = std::get_if<std::string>(&result)) {
    FUZZ_CHECK(error->rfind(name + ":", 0) == 0 && error->size() > name.size() + 1);
    return 0;
  }
  auto &config = std::get<mv::DarorUvurarevUzuvid>(result);
  hubd_lite::resolve_config(config, name);
  FUZZ_CHECK(config.has_actual_log());

  // The answer to the daemon's request, and what the daemon reads from it.
  mv::Hubd2FirewallMessage answer;
  answer.set_tag(mv::Hubd2FirewallMessage::GET_CONFIG_RESPONSE);
  answer.set_config_revision(1);
  *answer.mutable_config() = config;
  std::string frame;
  FUZZ_CHECK(answer.SerializeToString(&frame));
  mv::Hubd2FirewallMessage received;
  FUZZ_CHECK(received.ParseFromString(frame));
  FUZZ_CHECK(received.config().SerializeAsString() == config.SerializeAsString());

  // The text form of what was read reads again as the same configuration.
  std::string text;
  FUZZ_CHECK(google::protobuf::TextFormat::PrintToString(config, &text));
  auto again = hubd_lite::parse_config(text, name);
  FUZZ_CHECK(std::holds_alternative<mv::DarorUvurarevUzuvid>(again));
  FUZZ_CHECK(std::get<mv::DarorUvurarevUzuvid>(again).SerializeAsString() == config.SerializeAsString());
  return 0;
}
