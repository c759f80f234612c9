#pragma once

#include <string>
#include <variant>

#include "fw/util/configuration.hpp"

namespace hubd_lite {

// Reads a configuration in protobuf text format. On failure the text says where: the file name, the
// line and column of the first parse error (both counted from 1) and the parser's message.
std::variant<fw::configuration_t, std::string> load_config(const std::string &path);
// The same for a text already read; name stands for the file name in the error text.
std::variant<fw::configuration_t, std::string> parse_config(const std::string &text, const std::string &name);

// What HubD adds before handing the configuration out: the log the daemon must use (actual_log, when
// the file does not give it: the configured log unless that is AUTO, otherwise syslog) and a hook file
// name made absolute against the configuration file's directory.
void resolve_config(fw::configuration_t &config, const std::string &path);

} // namespace hubd_lite
