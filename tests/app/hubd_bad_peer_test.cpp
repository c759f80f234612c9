// A HubD that misbehaves on the wire: garbage, a frame cut short by closing, a length beyond the limit,
// a channel closed in the middle of a frame, a HubD that stops reading. The daemon ends with exactly
// its exit status and one "HubD: " error line, and never hangs or crashes; a slow but correct
// HubD is served normally.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/support/fake_hubd.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/text.hpp"

namespace {

using out_t = mv::Firewall2HubdMessage;
using in_t = mv::Hubd2FirewallMessage;

const std::string ready = std::string("RuvidOrederid ") + MOVRI_VERSION + ": Ready for service";

using tests::count;

std::string le32(std::uint32_t n) { return std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)}; }

struct bad_peer_t : ::testing::Test {
  std::unique_ptr<tests::fake_hubd_t> hubd;
  void SetUp() override {
    tests::enter_fresh_netns();
    hubd = std::make_unique<tests::fake_hubd_t>();
  }
  void bring_up() {
    hubd->expect(out_t::GET_CONFIG_REQUEST);
    hubd->send_config(tests::fake_hubd_t::stderr_config(), 1);
    hubd->expect(out_t::MY_INFO_NOTIFICATION);
  }
  // The exit status, one exit line, and exactly one error line naming HubD, which is the expected one.
  void expect_end(int status, const std::string &line) {
    EXPECT_EQ(hubd->daemon().wait(), status);
    const std::string log = hubd->daemon().output();
    EXPECT_EQ(count(log, "Exit with status " + std::to_string(status) + " ("), 1u) << log;
    EXPECT_EQ(count(log, "Error: HubD: "), 1u) << log;
    EXPECT_NE(log.find("Error: HubD: " + line + "\n"), std::string::npos) << log;
  }
};

// What HubD does, before the first configuration or once the daemon runs, and how the daemon ends.
struct misbehaviour_t {
  const char *name;
  bool after_configuration;
  std::function<void(tests::fake_hubd_t &)> act;
  int status;
  std::string line;
};
void PrintTo(const misbehaviour_t &m, std::ostream *os) { *os << m.name; }

struct bad_peer_case_t : bad_peer_t, ::testing::WithParamInterface<misbehaviour_t> {};

TEST_P(bad_peer_case_t, EndsWithItsExitStatusAndLine) {
  const misbehaviour_t &m = GetParam();
  if (m.after_configuration)
    bring_up();
  else
    hubd->expect(out_t::GET_CONFIG_REQUEST);
  m.act(*hubd);
  expect_end(m.status, m.line);
}

const std::string eof = "read failed: End of file";
const std::string bad_size = "invalid message size received";
const std::string bad_format = "mv.Hubd2FirewallMessage: invalid message format";

INSTANTIATE_TEST_SUITE_P(
    Wire, bad_peer_case_t,
    ::testing::Values(
        // Text where a frame belongs: its first four bytes make a length far beyond the limit.
        misbehaviour_t{"TextInsteadOfFrames", false,
                       [](tests::fake_hubd_t &h) { h.send_bytes("GET / HTTP/1.0\r\n\r\n"); }, 125, bad_size},
        misbehaviour_t{"GarbageInAFrame", true,
                       [](tests::fake_hubd_t &h) { h.send_bytes(tests::fake_hubd_t::frame("\xde\xad\xbe\xef\x00\x17")); },
                       125, bad_format},
        misbehaviour_t{"LengthJustOverTheLimit", true,
                       [](tests::fake_hubd_t &h) { h.send_bytes(le32(67108865) + "abcd"); }, 125, bad_size},
        misbehaviour_t{"LargestLength", false, [](tests::fake_hubd_t &h) { h.send_bytes(le32(0xFFFFFFFF)); }, 125,
                       bad_size},
        misbehaviour_t{"ClosedInsideTheLengthPrefix", false,
                       [](tests::fake_hubd_t &h) {
                         h.send_bytes(std::string("\x20\x00", 2));
                         h.close();
                       },
                       125, eof},
        misbehaviour_t{"TruncatedFrameThenClosed", true,
                       [](tests::fake_hubd_t &h) {
                         in_t m;
                         m.set_tag(in_t::GET_VETTD_RESPONSE);
                         m.set_socket_path("/run/movri/vettd.sock");
                         const std::string frame = tests::fake_hubd_t::frame(m.SerializeAsString());
                         h.send_bytes(frame.substr(0, frame.size() - 3));
                         h.close();
                       },
                       125, eof},
        // The daemon makes room for the largest frame allowed, then the channel closes.
        misbehaviour_t{"LargestFrameCutShort", true,
                       [](tests::fake_hubd_t &h) {
                         h.send_bytes(le32(67108864) + std::string(100000, '\x08'));
                         h.close();
                       },
                       125, eof}),
    [](const auto &info) { return std::string(info.param.name); });

// A HubD that no longer reads: the daemon's next request fails with EPIPE instead of a SIGPIPE that
// would kill it without a word.
TEST_F(bad_peer_t, AHubDThatStopsReadingEndsTheDaemonWithoutSigpipe) {
  bring_up();
  ASSERT_TRUE(hubd->daemon().wait_for_output(ready));
  ASSERT_EQ(::shutdown(hubd->channel(), SHUT_RD), 0);
  hubd->daemon().signal(SIGHUP);
  expect_end(125, "write failed: Broken pipe");
}

// Half a frame pending does not keep the daemon from stopping.
TEST_F(bad_peer_t, AHalfReadFrameDoesNotDelayTermination) {
  bring_up();
  hubd->send_bytes(le32(50) + "partial");
  ASSERT_TRUE(hubd->daemon().wait_for_output(ready));
  hubd->daemon().signal(SIGTERM);
  EXPECT_EQ(hubd->daemon().wait(), 107);
  const std::string log = hubd->daemon().output();
  EXPECT_EQ(count(log, "Error: "), 0u) << log;
  EXPECT_EQ(count(log, "Exit with status 107 (EC_APP_TERMINATED)"), 1u) << log;
}

// A slow HubD that writes its answer a byte at a time is served like any other.
TEST_F(bad_peer_t, AFrameArrivingByteByByteIsApplied) {
  hubd->expect(out_t::GET_CONFIG_REQUEST);
  in_t m;
  m.set_tag(in_t::GET_CONFIG_RESPONSE);
  m.set_config_revision(4);
  *m.mutable_config() = tests::fake_hubd_t::stderr_config();
  for (char c : tests::fake_hubd_t::frame(m.SerializeAsString())) {
    hubd->send_bytes(std::string(1, c));
    ::usleep(200);
  }
  EXPECT_EQ(hubd->expect(out_t::MY_INFO_NOTIFICATION).config_revision(), 4u);
  hubd->daemon().signal(SIGTERM);
  EXPECT_EQ(hubd->daemon().wait(), 107);
}

} // namespace
