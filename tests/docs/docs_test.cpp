// The user documentation against what is built: the manual page renders cleanly and names every exit
// status the daemon can end with; the configuration page and the example configuration use only fields
// of the configuration message; the Lua examples of the hook page compile.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <iterator>
#include <string>

#include <boost/system/error_code.hpp>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/text_format.h>

#include "app/exit_status.hpp"
#include "error.pb.h"
#include "fw/util/configuration.hpp"
#include "mv/lua/state.hpp"
#include "mv/util/error_code.hpp"
#include "tests/support/child_process.hpp"

namespace {

std::string read_file(const std::string &relative) {
  std::ifstream in(std::string(MOVRI_SOURCE_DIR) + "/" + relative);
  EXPECT_TRUE(in) << relative;
  return {std::istreambuf_iterator<char>(in), {}};
}

// The entries of the page's EXIT STATUS section: status -> the name beside it ("" when none). Each entry
// is a tagged paragraph whose tag is the status in bold, then the name in parentheses.
std::map<int, std::string> exit_status_entries(const std::string &page) {
  const auto begin = page.find("\n.SH EXIT STATUS\n");
  const auto end = page.find("\n.SH ", begin + 1);
  std::map<int, std::string> entries;
  if (begin == std::string::npos || end == std::string::npos) return ADD_FAILURE() << "no EXIT STATUS section", entries;
  const std::string section = page.substr(begin, end - begin);
  static const std::regex entry(R"(\n\.TP\n\.BR? (\d+)(?: " \(" (EC_[A-Z_]+) \))?\n)");
  for (std::sregex_iterator it(section.begin(), section.end(), entry), last; it != last; ++it)
    entries[std::stoi((*it)[1])] = (*it)[2];
  return entries;
}

// Every status the daemon can end with: the command-line mode's 0 and 1, the statuses the error mapping
// yields for system errors, and the suite codes that the daemon throws or passes on.
std::set<int> daemon_exit_statuses() {
  std::set<int> statuses = {0, 1};
  for (int error = 0; error < 200; ++error)
    statuses.insert(fw::app::exit_status_of(boost::system::error_code(error, boost::system::system_category())));
  for (mv::ErrorCode code : {mv::EC_UNEXPECTED_MESSAGE, mv::EC_PROTOCOL_VIOLATION, mv::EC_NO_MEMORY,
                             mv::EC_NOT_A_REGULAR_FILE, mv::EC_APP_SUSPENDED, mv::EC_BAD_CONFIG,
                             mv::EC_APP_TERMINATED, mv::EC_NO_VETTD, mv::EC_UNEXPECTED_ERROR})
    statuses.insert(fw::app::exit_status_of(mv::make_error_code(code)));
  return statuses;
}

TEST(ManPage, RendersWithoutWarnings) {
  const auto r = tests::run_program("/bin/sh", {"-c", "exec groff -man -Tutf8 -ww -z '" MOVRI_SOURCE_DIR "/docs/movri-firewall.1'"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

TEST(ManPage, NamesEveryExitStatusOfTheDaemon) {
  const std::string page = read_file("docs/movri-firewall.1");
  const auto entries = exit_status_entries(page);
  const auto expected = daemon_exit_statuses();
  for (int status : expected) {
    const auto found = entries.find(status);
    ASSERT_NE(found, entries.end()) << "exit status " << status << " is not documented";
    if (mv::ErrorCode_IsValid(status)) {
      EXPECT_EQ(found->second, mv::ErrorCode_Name(static_cast<mv::ErrorCode>(status))) << status;
    }
  }
  // No entry for a status the daemon cannot end with, and every code name that appears is real.
  for (const auto &[status, name] : entries) EXPECT_TRUE(expected.count(status)) << status;
  static const std::regex code_name("EC_[A-Z_]+");
  for (std::sregex_iterator it(page.begin(), page.end(), code_name), last; it != last; ++it)
    EXPECT_NE(mv::ErrorCode_descriptor()->FindValueByName(it->str()), nullptr) << it->str();
}

TEST(ManPage, StandaloneNoticeNamesThePage) {
  const auto r = tests::run_program(MOVRI_BINARY, {}, {{"COM_MOVRI_MONITOR", std::nullopt}});
  EXPECT_EQ(r.status, 1);
  const auto page = read_file("docs/movri-firewall.1");
  EXPECT_NE(page.find(".TH MOVRI-FIREWALL 1 "), std::string::npos);
  EXPECT_NE(r.out.find("See movri-firewall(1) for details."), std::string::npos) << r.out;
}

// Field names of a message and of every message reachable from it.
void add_field_names(const google::protobuf::Descriptor *message, std::set<std::string> &names,
                     std::set<const google::protobuf::Descriptor *> &seen) {
  if (!message || !seen.insert(message).second) return;
  for (int i = 0; i < message->field_count(); ++i) {
    names.insert(message->field(i)->name());
    add_field_names(message->field(i)->message_type(), names, seen);
  }
}

TEST(ConfigurationPage, UsesOnlyFieldsOfTheConfigurationMessage) {
  const auto *config = fw::configuration_t::descriptor();
  std::set<std::string> known;
  std::set<const google::protobuf::Descriptor *> seen;
  add_field_names(config, known, seen);
  const std::string page = read_file("docs/configuration.md");

  // The first column of every table row names a field of the configuration itself.
  static const std::regex row(R"((?:^|\n)\| `([a-z0-9_]+)` \|)");
  std::size_t rows = 0;
  for (std::sregex_iterator it(page.begin(), page.end(), row), last; it != last; ++it, ++rows)
    EXPECT_NE(config->FindFieldByName((*it)[1]), nullptr) << (*it)[1];
  EXPECT_GT(rows, 40u);

  // Every other name in code spans is a field somewhere in the message.
  static const std::regex span("`([a-z][a-z0-9_]*)`");
  for (std::sregex_iterator it(page.begin(), page.end(), span), last; it != last; ++it)
    EXPECT_TRUE(known.count((*it)[1])) << (*it)[1];
}

TEST(ConfigurationPage, ExampleConfigurationParses) {
  fw::configuration_t config;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(read_file("examples/firewall.conf"), &config));
  EXPECT_TRUE(config.has_intercept_hook());
}

TEST(HooksPage, LuaExamplesCompile) {
  const std::string page = read_file("docs/hooks.md");
  static const std::regex block("```lua\n([\\s\\S]*?)```");
  std::size_t blocks = 0;
  for (std::sregex_iterator it(page.begin(), page.end(), block), last; it != last; ++it, ++blocks) {
    mv::lua::state_t L;
    const std::string code = (*it)[1];
    EXPECT_EQ(luaL_loadbuffer(L, code.data(), code.size(), "example"), LUA_OK)
        << lua_tostring(L, -1) << "\n" << code;
  }
  EXPECT_GE(blocks, 6u);
}

} // namespace
