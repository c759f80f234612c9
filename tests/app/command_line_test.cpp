#include <gtest/gtest.h>

#include <regex>

#include "tests/support/process.hpp"

namespace {

tests::process_result_t run(const std::vector<std::string> &args, std::optional<std::string> monitor = std::nullopt) {
  return tests::run_program(MOVRI_BINARY, args, {{"COM_MOVRI_MONITOR", monitor}});
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

} // namespace
