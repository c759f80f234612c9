// The daemon and HubD end to end: the daemon runs in its own network namespace on one end of a socket
// pair, the test plays HubD on the other. A well-behaved HubD is served (also byte by byte); whatever
// else HubD does ends the daemon with exactly its exit status and one line saying why.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>
#include "fw/util/configuration.hpp"
#include "hubd_linux_firewall_ipc.pb.h"
#include "tests/support/child_process.hpp"
#include "tests/support/framed_peer.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/text.hpp"
#include "tests/support/unix_listener.hpp"

namespace {
using out_t = mv::Firewall2HubdMessage;
using in_t = mv::Hubd2FirewallMessage;
using tests::count;

// The HubD side of the channel, played by the test: starts movri-firewall with one end of a unix socket
// pair named in COM_MOVRI_MONITOR and talks to it in frames over the other end.
class fake_hubd_t : public tests::framed_peer_t {
public:
  fake_hubd_t() : fake_hubd_t(socket_pair()) {}

  // The next message from the daemon; nullopt when the daemon closed the channel (or after the timeout,
  // which also fails the test).
  std::optional<out_t> receive() {
    const auto payload = receive_frame(20, "the daemon (its output:\n" + daemon_.output() + ")");
    out_t message;
    if (payload && !message.ParseFromString(*payload)) ADD_FAILURE() << "the daemon sent a frame that does not parse";
    return payload ? std::optional(message) : std::nullopt;
  }
  // Receives and checks that the message has the tag. The daemon asks for VettD at every start; a test
  // that waits for something else gets it answered with a socket that holds whatever the daemon sends.
  out_t expect(out_t::MessageTag tag) {
    auto message = receive();
    for (; message && message->tag() == out_t::GET_VETTD_REQUEST && tag != out_t::GET_VETTD_REQUEST; message = receive()) {
      if (!vettd_) vettd_ = std::make_unique<tests::unix_listener_t>("/tmp/movri-test-vettd." + std::to_string(::getpid()) + ".sock");
      in_t answer;
      answer.set_tag(in_t::GET_VETTD_RESPONSE);
      answer.set_socket_path(vettd_->path());
      send(answer);
    }
    if (!message)
      return ADD_FAILURE() << "expected " << out_t::MessageTag_Name(tag) << ", the channel closed; daemon output:\n"
                           << daemon_.output(), out_t();
    EXPECT_EQ(message->tag(), tag) << message->ShortDebugString();
    return *message;
  }
  // Sends a message serialized without the required-field check (so that a test can break the protocol).
  void send(const in_t &message) { send_bytes(frame(message.SerializePartialAsString())); }
  tests::child_process_t &daemon() { return daemon_; }

  // A configuration that logs everything to standard error, with a hook that checks every connection.
  static fw::configuration_t stderr_config() {
    fw::configuration_t config;
    config.mutable_tproxy_listen_address()->set_address("127.0.0.1");
    config.mutable_tproxy_listen_address()->set_port(0);
    config.set_log_level(mv::LOG_LEVEL_DEBUG);
    config.mutable_actual_log()->set_type(mv::Log::STDERR);
    config.mutable_intercept_hook()->set_buffer("function intercept_hook(ctx) return \"check\" end");
    return config;
  }
  // The answer to a request for configuration.
  static in_t config_response(std::uint32_t revision, const fw::configuration_t &config = stderr_config()) {
    in_t message;
    message.set_tag(in_t::GET_CONFIG_RESPONSE);
    message.set_config_revision(revision);
    *message.mutable_config() = config;
    return message;
  }

private:
  explicit fake_hubd_t(std::array<int, 2> fds)
      : framed_peer_t(fw::util::scoped_fd_t(fds[0])),
        daemon_(MOVRI_BINARY, {}, {{"COM_MOVRI_MONITOR", std::to_string(fds[1])}}, {fds[1]}) {
    ::close(fds[1]);
  }
  static std::array<int, 2> socket_pair() {
    std::array<int, 2> fds{-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()) != 0) throw std::runtime_error("socketpair failed");
    return fds;
  }

  std::unique_ptr<tests::unix_listener_t> vettd_; // created on first use
  tests::child_process_t daemon_;                 // killed before the channel closes
};

const std::string ready = std::string("RuvidOrederid ") + MOVRI_VERSION + ": Ready for service";
const auto le32 = tests::framed_peer_t::le32;
const auto config_response = [](std::uint32_t revision) { return fake_hubd_t::config_response(revision); };

struct hubd_test_t : ::testing::Test {
  std::unique_ptr<fake_hubd_t> hubd;
  void SetUp() override {
    tests::enter_fresh_netns();
    hubd = std::make_unique<fake_hubd_t>();
  }
  // Waits for the exit; expects the status, the channel closed and one exit line; returns the log.
  std::string finish(int status) {
    EXPECT_EQ(hubd->daemon().wait(), status);
    EXPECT_FALSE(hubd->receive()) << "the daemon sent more after its end";
    const std::string log = hubd->daemon().output();
    EXPECT_EQ(count(log, "Exit with status " + std::to_string(status) + " ("), 1u) << log;
    return log;
  }
};

TEST_F(hubd_test_t, AppliesEachRevisionInOrderAndStopsOnSigterm) {
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  hubd->send(config_response(5));
  const auto report = hubd->expect(out_t::MY_INFO_NOTIFICATION);
  EXPECT_EQ(report.config_revision(), 5u);
  EXPECT_EQ(report.info().vettd_state(), mv::EC_OK);
  // Two requests open at once, answered in order; the second answer arrives a byte at a time.
  hubd->daemon().signal(SIGHUP);
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  hubd->daemon().signal(SIGHUP);
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  hubd->send(config_response(6));
  for (char c : fake_hubd_t::frame(config_response(7).SerializeAsString())) {
    hubd->send_bytes(std::string(1, c));
    ::usleep(200);
  }
  EXPECT_EQ(hubd->expect(out_t::MY_INFO_NOTIFICATION).config_revision(), 6u);
  EXPECT_EQ(hubd->expect(out_t::MY_INFO_NOTIFICATION).config_revision(), 7u);
  // Half a frame pending does not keep the daemon from stopping.
  hubd->send_bytes(le32(50) + "partial");
  ASSERT_TRUE(hubd->daemon().wait_for_output(ready));
  hubd->daemon().signal(SIGTERM);
  const std::string log = finish(107);
  EXPECT_EQ(count(log, "SIGHUP received, config will be ordered from HubD"), 2u) << log;
  EXPECT_EQ(count(log, ready), 3u) << log;
  EXPECT_EQ(count(log, "Error: "), 0u) << log;
  EXPECT_NE(log.find("Notice: Exit with status 107 (EC_APP_TERMINATED)"), std::string::npos) << log;
}

// What HubD does, before the first configuration or once the daemon runs, and how the daemon ends:
// its exit status and the one line that says why.
struct ending_t {
  const char *name;
  bool after_configuration;
  std::function<void(fake_hubd_t &)> act;
  int status;
  std::string line;
};
void PrintTo(const ending_t &e, std::ostream *os) { *os << e.name; }

struct hubd_ending_t : hubd_test_t, ::testing::WithParamInterface<ending_t> {};
TEST_P(hubd_ending_t, EndsTheDaemonWithItsStatusAndOneLine) {
  const ending_t &e = GetParam();
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  if (e.after_configuration) {
    hubd->send(config_response(1));
    hubd->expect(out_t::MY_INFO_NOTIFICATION);
  }
  e.act(*hubd);
  const std::string log = finish(e.status);
  EXPECT_NE(log.find(e.line), std::string::npos) << log;
  EXPECT_LE(count(log, "Error: "), 1u) << log;
  EXPECT_EQ(count(log, ready), e.after_configuration ? 1u : 0u) << log;
}

const std::string eof = "Error: HubD: read failed: End of file";
const std::string bad_size = "Error: HubD: invalid message size received";
const std::string bad_format = "Error: HubD: mv.Hubd2FirewallMessage: invalid message format";

void ask_again(fake_hubd_t &h) {
  h.daemon().signal(SIGHUP);
  h.expect(out_t::GET_CONFIG_REQUEST);
}
void cut_short(fake_hubd_t &h, const std::string &bytes) { h.send_bytes(bytes), h.close(); } // then the channel closes

INSTANTIATE_TEST_SUITE_P(
    Peer, hubd_ending_t,
    ::testing::ValuesIn(std::vector<ending_t>{
        {"FailingStartOfALaterRevision", true,
         [](fake_hubd_t &h) {
           ask_again(h);
           auto broken = fake_hubd_t::stderr_config();
           broken.mutable_actual_log()->set_type(mv::Log::FILE);
           broken.mutable_actual_log()->set_path("/nonexistent-directory/firewall.log");
           h.send(fake_hubd_t::config_response(2, broken));
         },
         102, "Error: Cannot apply configuration (revision 2): Cannot create log"},
        {"Suspension", false,
         [](fake_hubd_t &h) {
           in_t m = config_response(9);
           m.mutable_control()->set_app(mv::APP_LINUX_FIREWALL);
           m.mutable_control()->set_suspended(true);
           h.send(m);
         },
         88, "Notice: Component suspended, exiting..."},
        {"UnaskedConfiguration", true, [](fake_hubd_t &h) { h.send(config_response(2)); }, 11, "Error: HubD: GET_CONFIG_RESPONSE"},
        {"UnaskedVettD", true,
         [](fake_hubd_t &h) {
           in_t m;
           m.set_tag(in_t::GET_VETTD_RESPONSE);
           m.set_socket_path("/run/vettd.sock");
           h.send(m);
         },
         11, "Error: HubD: GET_VETTD_RESPONSE"},
        {"ConfigurationWithoutRevision", true,
         [](fake_hubd_t &h) {
           ask_again(h);
           in_t m = config_response(2);
           m.clear_config_revision();
           h.send(m);
         },
         12, "Error: HubD: message mv.Hubd2FirewallMessage tagged GET_CONFIG_RESPONSE does not have field config_revision set"},
        {"UnknownTag", true, [](fake_hubd_t &h) { h.send_bytes(h.frame(std::string("\x08\x03", 2))); }, 12,
         "Error: HubD: mv.Hubd2FirewallMessage: unknown message tag: 3"},
        {"GarbageBeforeTheFirstConfiguration", false, [](fake_hubd_t &h) { h.send_bytes(h.frame("\xff\xff")); }, 125, bad_format},
        {"GarbageInAFrame", true, [](fake_hubd_t &h) { h.send_bytes(h.frame("\xde\xad\xbe\xef\x00\x17")); }, 125, bad_format},
        // Text where a frame belongs: its first four bytes make a length far beyond the limit.
        {"TextInsteadOfFrames", false, [](fake_hubd_t &h) { h.send_bytes("GET / HTTP/1.0\r\n\r\n"); }, 125, bad_size},
        {"ZeroLengthFrame", true, [](fake_hubd_t &h) { h.send_bytes(le32(0)); }, 125, bad_size},
        {"LengthJustOverTheLimit", true, [](fake_hubd_t &h) { h.send_bytes(le32(67108865) + "abcd"); }, 125, bad_size},
        {"ClosedInsideTheLengthPrefix", false, [](fake_hubd_t &h) { cut_short(h, std::string("\x20\x00", 2)); }, 125, eof},
        // The daemon makes room for the largest frame allowed, then the channel closes.
        {"LargestFrameCutShort", true, [](fake_hubd_t &h) { cut_short(h, le32(67108864) + std::string(100000, '\x08')); }, 125, eof},
        // A HubD that no longer reads: the next request fails with EPIPE instead of a silent SIGPIPE.
        {"StopsReading", true,
         [](fake_hubd_t &h) {
           ASSERT_TRUE(h.daemon().wait_for_output(ready));
           ASSERT_EQ(::shutdown(h.fd(), SHUT_RD), 0);
           h.daemon().signal(SIGHUP);
         },
         125, "Error: HubD: write failed: Broken pipe"}}),
    [](const auto &info) { return std::string(info.param.name); });

// Before any HubD: an unknown option, or a monitor variable the daemon cannot use (the command line is
// then not looked at), fails the start with 125.
TEST(CommandLine, UnusableOptionOrMonitorVariableFailsWith125) {
  using monitor_t = std::optional<std::string>;
  for (const monitor_t &monitor : {monitor_t(), monitor_t(""), monitor_t("7x"), monitor_t("x"), monitor_t("2147483648"), monitor_t(" 7")}) {
    const auto r = tests::run_program(MOVRI_BINARY, {monitor ? "--help" : "--frobnicate"}, {{"COM_MOVRI_MONITOR", monitor}});
    EXPECT_EQ(r.status, 125) << '"' << monitor.value_or("(unset)") << '"';
    EXPECT_NE(r.err.find("Initialization failed: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(monitor ? "Exit with status 125 (EC_UNEXPECTED_ERROR)" : "frobnicate"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

} // namespace
