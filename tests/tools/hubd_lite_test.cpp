#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include <boost/filesystem.hpp>

#include "hubd_linux_firewall_ipc.pb.h"
#include "tests/support/child_process.hpp"
#include "tests/support/fake_hubd.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/process.hpp"

namespace {

namespace fs = boost::filesystem;

// Run by the stand-in in place of the daemon (HUBD_LITE_TEST_DAEMON set): asks for both socket paths,
// prints the answers and exits with the status named in the variable.
const bool acting_as_daemon = [] {
  const char *status = std::getenv("HUBD_LITE_TEST_DAEMON");
  if (!status) return false;
  const int channel = std::atoi(std::getenv("COM_MOVRI_MONITOR"));
  for (auto tag : {mv::Firewall2HubdMessage::GET_VETTD_REQUEST, mv::Firewall2HubdMessage::GET_QUERYD_REQUEST}) {
    mv::Firewall2HubdMessage request;
    request.set_tag(tag);
    const std::string frame = tests::fake_hubd_t::frame(request.SerializeAsString());
    if (::send(channel, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) std::_Exit(1);
    unsigned char prefix[4];
    if (::recv(channel, prefix, 4, MSG_WAITALL) != 4) std::_Exit(1);
    std::string payload(prefix[0] | prefix[1] << 8, '\0');
    if (::recv(channel, payload.data(), payload.size(), MSG_WAITALL) != static_cast<ssize_t>(payload.size())) std::_Exit(1);
    mv::Hubd2FirewallMessage answer;
    answer.ParseFromString(payload);
    std::cout << "answer: " << answer.ShortDebugString() << std::endl;
  }
  std::_Exit(std::atoi(status));
}();

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
  // A FILE log (the daemon copies every record to the stand-in, which prints it) and a hook.
  void write_config(const std::string &extra = "", const std::string &level = "LOG_LEVEL_DEBUG") {
    std::ofstream(config) << "log_level: " << level << "\n"
                          << "actual_log { type: FILE path: \"" << (dir / "firewall.log").string() << "\" }\n"
                          << "intercept_hook { buffer: \"function intercept_hook(ctx) return 'check' end\" }\n"
                          << "tproxy_listen_address { address: \"127.0.0.1\" port: 0 }\n"
                          << extra;
  }
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

TEST_F(hubd_lite_test_t, RunsTheDaemonReloadsOnHangupAndPassesItsStatusOn) {
  write_config();
  tests::child_process_t hubd(hubd_lite, {"--daemon", MOVRI_BINARY, "--vettd", start_vettd(), config});
  ASSERT_TRUE(hubd.wait_for_output("hubd-lite: state report: revision 1, VettD state EC_OK")) << hubd.output();
  ASSERT_TRUE(hubd.wait_for_output(ready)) << hubd.output();

  // A broken file is reported where the parser stopped; revision 1 stays.
  write_config("no_such_field: 1\n");
  hubd.signal(SIGHUP);
  ASSERT_TRUE(hubd.wait_for_output("hubd-lite: keeping revision 1")) << hubd.output();
  EXPECT_NE(hubd.output().find("hubd-lite: " + config + ":5:14: "), std::string::npos) << hubd.output();

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
  tests::child_process_t hubd(hubd_lite, {"--daemon", MOVRI_BINARY, "--vettd", start_vettd(),
                                          std::string(MOVRI_SOURCE_DIR) + "/examples/firewall.conf"});
  ASSERT_TRUE(hubd.wait_for_output(ready)) << hubd.output();
  hubd.signal(SIGINT);
  EXPECT_EQ(hubd.wait(), 107) << hubd.output();
}

TEST_F(hubd_lite_test_t, HandsOutSocketPathsOrErrorsAndPassesTheStatusOn) {
  write_config();
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  auto r = tests::run_program(hubd_lite, {"--daemon", self, "--vettd", "/run/vettd.sock", "--queryd", "/run/queryd.sock", config},
                              {{"HUBD_LITE_TEST_DAEMON", "0"}});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("answer: tag: GET_VETTD_RESPONSE socket_path: \"/run/vettd.sock\"\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("answer: tag: GET_QUERYD_RESPONSE socket_path: \"/run/queryd.sock\"\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("hubd-lite: movri-firewall exited with status 0 (EC_OK)"), std::string::npos) << r.out;

  r = tests::run_program(hubd_lite, {"--daemon", self, config}, {{"HUBD_LITE_TEST_DAEMON", "117"}});
  EXPECT_EQ(r.status, 117) << r.out << r.err;
  EXPECT_NE(r.out.find("answer: tag: GET_VETTD_RESPONSE error { code: EC_NO_VETTD what: \"VettD is not available\" }"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("answer: tag: GET_QUERYD_RESPONSE error { code: EC_NO_SUCH_ENTRY"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("hubd-lite: movri-firewall exited with status 117 (EC_NO_VETTD)"), std::string::npos) << r.out;
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
