#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <string>

#include <boost/filesystem.hpp>

#include "tests/support/child_process.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/process.hpp"

namespace {

namespace fs = boost::filesystem;

const std::string hubd_lite = std::string(MOVRI_TOOLS_DIR) + "/movri-hubd-lite";
const std::string ready = std::string("Notice: RuvidOrederid ") + MOVRI_VERSION + ": Ready for service";

struct hubd_lite_test_t : ::testing::Test {
  fs::path dir;
  std::string config;
  void SetUp() override {
    tests::enter_fresh_netns();
    dir = fs::temp_directory_path() / fs::unique_path("hubd-lite-%%%%%%%%");
    fs::create_directories(dir);
    config = (dir / "firewall.conf").string();
  }
  void TearDown() override { fs::remove_all(dir); }
  // A FILE log: the daemon copies every record to the stand-in, which prints it.
  void write_config(const std::string &extra = "", const std::string &level = "LOG_LEVEL_DEBUG") {
    std::ofstream(config) << "log_level: " << level << "\n"
                          << "actual_log { type: FILE path: \"" << (dir / "firewall.log").string() << "\" }\n"
                          << extra;
  }
};

TEST_F(hubd_lite_test_t, RunsTheDaemonReloadsOnHangupAndPassesItsStatusOn) {
  write_config();
  tests::child_process_t hubd(hubd_lite, {"--daemon", MOVRI_BINARY, config});
  ASSERT_TRUE(hubd.wait_for_output("hubd-lite: state report: revision 1, VettD state EC_OK")) << hubd.output();
  ASSERT_TRUE(hubd.wait_for_output(ready)) << hubd.output();

  // A broken file is reported where the parser stopped; revision 1 stays.
  write_config("no_such_field: 1\n");
  hubd.signal(SIGHUP);
  ASSERT_TRUE(hubd.wait_for_output("hubd-lite: keeping revision 1")) << hubd.output();
  EXPECT_NE(hubd.output().find("hubd-lite: " + config + ":3:14: "), std::string::npos) << hubd.output();

  // A good one becomes revision 2, announced to the daemon with SIGHUP.
  write_config("", "LOG_LEVEL_INFO");
  hubd.signal(SIGHUP);
  ASSERT_TRUE(hubd.wait_for_output("hubd-lite: state report: revision 2, VettD state EC_OK")) << hubd.output();

  hubd.signal(SIGTERM);
  EXPECT_EQ(hubd.wait(), 107);
  const std::string out = hubd.output();
  EXPECT_NE(out.find("Notice: SIGHUP received, config will be ordered from HubD"), std::string::npos) << out;
  EXPECT_NE(out.find("Notice: Exit with status 107 (EC_APP_TERMINATED)"), std::string::npos) << out;
  EXPECT_NE(out.find("hubd-lite: movri-firewall exited with status 107 (EC_APP_TERMINATED)"), std::string::npos) << out;
  // The same records went to the configured file.
  EXPECT_NE(tests::shell("cat " + (dir / "firewall.log").string()).find(ready.substr(8)), std::string::npos);
}

TEST_F(hubd_lite_test_t, StartsWithTheShippedExample) {
  tests::child_process_t hubd(hubd_lite, {"--daemon", MOVRI_BINARY, std::string(MOVRI_SOURCE_DIR) + "/examples/firewall.conf"});
  ASSERT_TRUE(hubd.wait_for_output(ready)) << hubd.output();
  hubd.signal(SIGINT);
  EXPECT_EQ(hubd.wait(), 107) << hubd.output();
}

TEST_F(hubd_lite_test_t, ReportsAnUnreadableConfigurationAtStart) {
  std::ofstream(config) << "log_level: LOG_LEVEL_DEBUG\nlog_level LOG_LEVEL_INFO\n";
  const auto r = tests::run_program(hubd_lite, {"--daemon", MOVRI_BINARY, config});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(config + ":2:"), std::string::npos) << r.err;
  const auto missing = tests::run_program(hubd_lite, {(dir / "missing.conf").string()});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
}

} // namespace
