#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "tests/support/fake_hubd.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/text.hpp"

namespace {

using out_t = mv::Firewall2HubdMessage;
using in_t = mv::Hubd2FirewallMessage;

const std::string ready = std::string("RuvidOrederid ") + MOVRI_VERSION + ": Ready for service";

using tests::count;

// Every case runs the daemon in its own network namespace, so nothing it may install reaches the host.
struct daemon_test_t : ::testing::Test {
  std::unique_ptr<tests::fake_hubd_t> hubd;
  void SetUp() override {
    tests::enter_fresh_netns();
    hubd = std::make_unique<tests::fake_hubd_t>();
  }
  // Answers the first request with a standard-error configuration and waits for the state report.
  void bring_up(std::uint32_t revision = 1) {
    hubd->expect(out_t::GET_CONFIG_REQUEST);
    hubd->send_config(tests::fake_hubd_t::stderr_config(), revision);
    const auto report = hubd->expect(out_t::MY_INFO_NOTIFICATION);
    EXPECT_EQ(report.config_revision(), revision);
  }
  // Waits for the exit; expects the status, the channel closed and the exit line.
  std::string finish(int status) {
    EXPECT_EQ(hubd->daemon().wait(), status);
    EXPECT_FALSE(hubd->receive()) << "the daemon sent more after its end";
    const std::string log = hubd->daemon().output();
    EXPECT_EQ(count(log, "Exit with status " + std::to_string(status) + " ("), 1u) << log;
    return log;
  }
};

TEST_F(daemon_test_t, AppliesTheConfigurationReportsItAndStopsOnSigterm) {
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  hubd->send_config(tests::fake_hubd_t::stderr_config(), 5);
  const auto report = hubd->expect(out_t::MY_INFO_NOTIFICATION);
  EXPECT_EQ(report.config_revision(), 5u);
  EXPECT_EQ(report.info().vettd_state(), mv::EC_OK);
  ASSERT_TRUE(hubd->daemon().wait_for_output(ready));
  hubd->daemon().signal(SIGTERM);
  const std::string log = finish(107);
  EXPECT_NE(log.find("Notice: Termination signal received, exiting..."), std::string::npos) << log;
  EXPECT_NE(log.find("Notice: Exit with status 107 (EC_APP_TERMINATED)"), std::string::npos) << log;
}

TEST_F(daemon_test_t, SigintStopsLikeSigterm) {
  bring_up();
  hubd->daemon().signal(SIGINT);
  finish(107);
}

TEST_F(daemon_test_t, EachHangupAsksAgainAndEachRevisionIsAppliedInOrder) {
  bring_up(1);
  // Two requests open at once, answered in order.
  hubd->daemon().signal(SIGHUP);
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  hubd->daemon().signal(SIGHUP);
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  hubd->send_config(tests::fake_hubd_t::stderr_config(), 2);
  hubd->send_config(tests::fake_hubd_t::stderr_config(), 3);
  EXPECT_EQ(hubd->expect(out_t::MY_INFO_NOTIFICATION).config_revision(), 2u);
  EXPECT_EQ(hubd->expect(out_t::MY_INFO_NOTIFICATION).config_revision(), 3u);
  hubd->daemon().signal(SIGTERM);
  const std::string log = finish(107);
  EXPECT_EQ(count(log, "SIGHUP received, config will be ordered from HubD"), 2u) << log;
  EXPECT_EQ(count(log, ready), 3u) << log;
}

TEST_F(daemon_test_t, AFailingStartOfALaterRevisionEndsWith102AndIsNotReported) {
  bring_up(1);
  hubd->daemon().signal(SIGHUP);
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  auto broken = tests::fake_hubd_t::stderr_config();
  broken.mutable_actual_log()->set_type(mv::Log::FILE);
  broken.mutable_actual_log()->set_path("/nonexistent-directory/firewall.log");
  hubd->send_config(broken, 2);
  const std::string log = finish(102);
  EXPECT_NE(log.find("Error: Cannot apply configuration (revision 2): Cannot create log"), std::string::npos) << log;
  EXPECT_NE(log.find("Exit with status 102 (EC_BAD_CONFIG)"), std::string::npos) << log;
  EXPECT_EQ(count(log, ready), 1u) << log;
}

in_t suspension(bool suspended) {
  in_t m;
  m.set_tag(in_t::GET_CONFIG_RESPONSE);
  m.set_config_revision(9);
  *m.mutable_config() = tests::fake_hubd_t::stderr_config();
  m.mutable_control()->set_app(mv::APP_LINUX_FIREWALL);
  m.mutable_control()->set_suspended(suspended);
  return m;
}

TEST_F(daemon_test_t, SuspensionInAnswerToARequestEndsWith88) {
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  hubd->send(suspension(true));
  const std::string log = finish(88);
  EXPECT_NE(log.find("Notice: Component suspended, exiting..."), std::string::npos) << log;
  EXPECT_NE(log.find("Exit with status 88 (EC_APP_SUSPENDED)"), std::string::npos) << log;
  EXPECT_EQ(log.find(ready), std::string::npos) << log;
}

TEST_F(daemon_test_t, SuspensionEndsTheDaemonEvenWhenNothingWasAsked) {
  bring_up();
  hubd->send(suspension(true));
  finish(88);
}

TEST_F(daemon_test_t, ANotSuspendedControlIsApplied) {
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  hubd->send(suspension(false));
  EXPECT_EQ(hubd->expect(out_t::MY_INFO_NOTIFICATION).config_revision(), 9u);
  hubd->daemon().signal(SIGTERM);
  finish(107);
}

// One case per breach of the protocol: what HubD does after the first configuration, the exit status
// and the log line.
struct breach_t {
  const char *name;
  std::function<void(tests::fake_hubd_t &)> provoke;
  int status;
  std::string line;
};
void PrintTo(const breach_t &b, std::ostream *os) { *os << b.name; }

struct daemon_breach_t : daemon_test_t, ::testing::WithParamInterface<breach_t> {};

TEST_P(daemon_breach_t, EndsTheDaemonWithItsExitStatus) {
  bring_up();
  GetParam().provoke(*hubd);
  const std::string log = finish(GetParam().status);
  EXPECT_NE(log.find("Error: HubD: " + GetParam().line + "\n"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Breaches, daemon_breach_t,
    ::testing::Values(
        breach_t{"UnaskedConfiguration", [](tests::fake_hubd_t &h) { h.send_config(tests::fake_hubd_t::stderr_config(), 2); },
                 11, "GET_CONFIG_RESPONSE"},
        breach_t{"UnaskedVettD", [](tests::fake_hubd_t &h) {
                   in_t m;
                   m.set_tag(in_t::GET_VETTD_RESPONSE);
                   m.set_socket_path("/run/vettd.sock");
                   h.send(m);
                 }, 11, "GET_VETTD_RESPONSE"},
        breach_t{"ConfigurationWithoutRevision", [](tests::fake_hubd_t &h) {
                   h.daemon().signal(SIGHUP);
                   h.expect(out_t::GET_CONFIG_REQUEST);
                   in_t m;
                   m.set_tag(in_t::GET_CONFIG_RESPONSE);
                   *m.mutable_config() = tests::fake_hubd_t::stderr_config();
                   h.send(m);
                 }, 12, "message mv.Hubd2FirewallMessage tagged GET_CONFIG_RESPONSE does not have field config_revision set"},
        breach_t{"ConfigurationWithoutConfig", [](tests::fake_hubd_t &h) {
                   in_t m;
                   m.set_tag(in_t::GET_CONFIG_RESPONSE);
                   m.set_config_revision(2);
                   h.send(m);
                 }, 12, "message mv.Hubd2FirewallMessage tagged GET_CONFIG_RESPONSE does not have field config set"},
        breach_t{"UnknownTag", [](tests::fake_hubd_t &h) { h.send_bytes(tests::fake_hubd_t::frame(std::string("\x08\x03", 2))); },
                 12, "mv.Hubd2FirewallMessage: unknown message tag: 3"},
        breach_t{"MalformedMessage", [](tests::fake_hubd_t &h) { h.send_bytes(tests::fake_hubd_t::frame("\xff\xff")); },
                 125, "mv.Hubd2FirewallMessage: invalid message format"},
        breach_t{"ZeroLengthFrame", [](tests::fake_hubd_t &h) { h.send_bytes(std::string(4, '\0')); }, 125,
                 "invalid message size received"},
        breach_t{"ChannelClosed", [](tests::fake_hubd_t &h) { h.close(); }, 125, "read failed: End of file"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(daemon_test_t, ABreachBeforeTheFirstConfigurationStillLogsAndExits) {
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  hubd->send_bytes(tests::fake_hubd_t::frame("\xff\xff"));
  const std::string log = finish(125);
  EXPECT_NE(log.find("HubD: mv.Hubd2FirewallMessage: invalid message format"), std::string::npos) << log;
}

} // namespace
