#include <gtest/gtest.h>

#include <regex>

#include "tests/support/process.hpp"

namespace {

tests::process_result_t run(const std::vector<std::string> &args, std::optional<std::string> monitor = std::nullopt) {
  return tests::run_program(MOVRI_BINARY, args, {{"COM_MOVRI_MONITOR", monitor}});
}

TEST(CommandLine, StandaloneNoticeAndStatus1) {
  const auto r = run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Cannot run standalone. See movri-firewall(1) for details.\n");
}

TEST(CommandLine, VersionIsCaseInsensitive) {
  for (const char *option : {"--version", "--VERSION", "-v"}) {
    const auto r = run({option});
    EXPECT_EQ(r.status, 0) << option;
    EXPECT_TRUE(r.out.rfind("movri-firewall ", 0) == 0) << r.out;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("movri-firewall [0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
  }
}

TEST(CommandLine, HelpListsOnlyHelpAndVersion) {
  const auto r = run({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Command line options"), std::string::npos);
  EXPECT_NE(r.out.find("print help message and exit"), std::string::npos);
  EXPECT_NE(r.out.find("print version and exit"), std::string::npos);
  EXPECT_EQ(r.out.find("dump"), std::string::npos);
}

TEST(CommandLine, UnknownOptionFailsWith125) {
  const auto r = run({"--frobnicate"});
  EXPECT_EQ(r.status, 125);
  EXPECT_NE(r.err.find("Initialization failed: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("frobnicate"), std::string::npos) << r.err;
}

TEST(DaemonMode, MalformedMonitorVariableFailsWith125) {
  for (const char *value : {"", "7x", "x", "2147483648", " 7"}) {
    const auto r = run({"--help"}, std::string(value));
    EXPECT_EQ(r.status, 125) << '"' << value << '"';
    EXPECT_NE(r.err.find("Initialization failed: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Exit with status 125 (EC_UNEXPECTED_ERROR)"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, ""); // the command line is not looked at
  }
}

TEST(DaemonMode, SignedNumberIsAcceptedAndOnlyTheDescriptorFails) {
  // "+200" parses; descriptor 200 is not open, so adopting it is what fails.
  const auto r = run({}, std::string("+200"));
  EXPECT_EQ(r.status, 125);
  EXPECT_NE(r.err.find("Initialization failed: assign: Bad file descriptor"), std::string::npos) << r.err;
}

} // namespace
