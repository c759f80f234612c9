// The HubD stand-in runs the daemon with the shipped example configuration and passes its status on.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <string>

#include <boost/filesystem.hpp>

#include "tests/support/child_process.hpp"
#include "tests/support/netns.hpp"

namespace {

namespace fs = boost::filesystem;

const std::string hubd_lite = std::string(MOVRI_TOOLS_DIR) + "/movri-hubd-lite";
const std::string ready = std::string("Notice: RuvidOrederid ") + MOVRI_VERSION + ": Ready for service";

struct hubd_lite_test_t : ::testing::Test {
  fs::path dir;
  void SetUp() override {
    tests::enter_fresh_netns();
    dir = fs::temp_directory_path() / fs::unique_path("hubd-lite-%%%%%%%%");
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  // Starts the VettD stand-in; the daemon asks HubD for it at every start.
  std::string start_vettd() {
    const std::string path = (dir / "vettd.sock").string();
    vettd = std::make_unique<tests::child_process_t>(std::string(MOVRI_TOOLS_DIR) + "/movri-vettd-lite",
                                                     std::vector<std::string>{path});
    for (int i = 0; i < 100 && !fs::exists(path); ++i) ::usleep(20000);
    return path;
  }
  std::unique_ptr<tests::child_process_t> vettd;
};

TEST_F(hubd_lite_test_t, StartsWithTheShippedExample) {
  tests::child_process_t hubd(hubd_lite, {"--daemon", MOVRI_BINARY, "--vettd", start_vettd(),
                                          std::string(MOVRI_SOURCE_DIR) + "/examples/firewall.conf"});
  ASSERT_TRUE(hubd.wait_for_output(ready)) << hubd.output();
  hubd.signal(SIGINT);
  EXPECT_EQ(hubd.wait(), 107) << hubd.output();
}

} // namespace
