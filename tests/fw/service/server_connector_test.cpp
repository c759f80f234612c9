// The server connector against the kernel in a private network namespace.
#include <unistd.h>

#include "fw/service/path/server_connector.hpp"
#include "tests/fw/service/service_fixture.hpp"

namespace {

using fw::net::endpoint_t;
using bytes_t = std::vector<std::uint8_t>;
using tests::ep;

// One completion of one attempt; fails the test when a handler runs twice.
struct outcome_t {
  int calls = 0;
  boost::system::error_code error;
  fw::util::scoped_fd_t socket;

  fw::service::server_connector_t::handler_t handler() {
    return [this](const boost::system::error_code &e, fw::util::scoped_fd_t s) {
      EXPECT_EQ(++calls, 1) << "handler called again";
      error = e;
      socket = std::move(s);
    };
  }
};

// A SYN to the port as the server's side received it: its IPv4 options and its source port.
struct captured_syn_t {
  bytes_t options;
  unsigned short source_port = 0;
};
captured_syn_t receive_syn(int capture, unsigned short port) {
  std::uint8_t p[120];
  if (tests::receive_syn(capture, port, p) == 0) return {};
  const unsigned header = (p[0] & 0x0f) * 4u;
  return {bytes_t(p + 20, p + header), static_cast<unsigned short>(p[header] << 8 | p[header + 1])};
}

struct ConnectorTest : tests::marks_test_t {
  void SetUp() override {
    marks_test_t::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    config.set_output_divert_enable(true);
    config.mutable_output_divert_mark()->set_manual(8);
    config.set_input_divert_enable(true);
    config.mutable_input_divert_mark()->set_manual(16);
    capture.reset(::socket(AF_INET, SOCK_RAW, IPPROTO_TCP));
    server.reset(tests::listen_at("127.0.0.1", 6000));
  }
  std::unique_ptr<fw::service::server_connector_t> make_connector(bool ip_security_option, std::uint64_t limit = 100) {
    config.set_process_ip_security_option(ip_security_option);
    marks.start(); // again, with the divert marks
    auto connector = std::make_unique<fw::service::server_connector_t>(io, config, marks, limit);
    connector->start();
    return connector;
  }

  fw::util::scoped_fd_t capture{-1}, server{-1};
  const endpoint_t server_endpoint = ep("127.0.0.1", 6000);
};

TEST_F(ConnectorTest, MarksEachDirectionsSocketWithItsDivertMarkAndTheServerMark) {
  auto connector = make_connector(false);
  for (const char *mark : {"12", "20", "4"})
    tests::shell(std::string("iptables-legacy -A OUTPUT -p tcp --syn -m mark --mark ") + mark);
  outcome_t outcomes[3];
  for (unsigned direction = 0; direction < 3; ++direction)
    connector->connect(server_endpoint, nullptr, std::nullopt, direction, outcomes[direction].handler());
  EXPECT_EQ(connector->size(), 3u);
  ASSERT_TRUE(tests::run_until(io, [&] { return connector->size() == 0; }));
  for (auto &outcome : outcomes) {
    EXPECT_FALSE(outcome.error) << outcome.error.message();
    EXPECT_EQ(tests::endpoint_of(outcome.socket.get(), true), server_endpoint);
  }
  for (int rule = 1; rule <= 3; ++rule) EXPECT_EQ(tests::rule_packets("OUTPUT", rule), 1u) << "rule " << rule;
}

TEST_F(ConnectorTest, SendsTheClientsSecurityOptionAndMatchesAnswersAgainstIt) {
  auto connector = make_connector(true);
  const std::uint8_t secret[] = {130, 4, 0x5A, 0x02}, unclassified[] = {130, 3, 0xAB}, other[] = {130, 3, 0x3D};
  outcome_t outcome;
  connector->connect(server_endpoint, secret, std::nullopt, 0, outcome.handler());
  const captured_syn_t syn = receive_syn(capture.get(), 6000);
  EXPECT_EQ(syn.options, bytes_t(secret, secret + 4));
  const endpoint_t local = ep("127.0.0.1", syn.source_port);
  const auto *connection = connector->find(local, server_endpoint);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connector->find(server_endpoint, local), nullptr);
  EXPECT_TRUE(connector->security_option_matches(*connection, secret));
  EXPECT_FALSE(connector->security_option_matches(*connection, nullptr));
  EXPECT_FALSE(connector->security_option_matches(*connection, unclassified));
  ASSERT_TRUE(tests::run_until(io, [&] { return outcome.calls == 1; }));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(connector->find(local, server_endpoint), nullptr);

  // Without the client's option nothing is set, and the default option stands in for it.
  outcome_t plain;
  connector->connect(server_endpoint, nullptr, std::nullopt, 0, plain.handler());
  const captured_syn_t bare = receive_syn(capture.get(), 6000);
  EXPECT_TRUE(bare.options.empty());
  connection = connector->find(ep("127.0.0.1", bare.source_port), server_endpoint);
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(connector->security_option_matches(*connection, nullptr));
  EXPECT_TRUE(connector->security_option_matches(*connection, unclassified));
  EXPECT_FALSE(connector->security_option_matches(*connection, other));
  EXPECT_FALSE(connector->security_option_matches(*connection, secret));
  ASSERT_TRUE(tests::run_until(io, [&] { return plain.calls == 1; }));
}

TEST_F(ConnectorTest, TransparentConnectionShowsTheClientsAddressAtTheServer) {
  // Answers to 10.5.5.5 are delivered locally although the host does not own that address.
  tests::shell("ip rule add to 10.5.5.5 lookup 100");
  tests::shell("ip route add local 10.5.5.5/32 dev lo table 100");
  auto connector = make_connector(true);
  outcome_t outcome;
  connector->connect(server_endpoint, nullptr, boost::asio::ip::make_address_v4("10.5.5.5"), 1, outcome.handler());
  const captured_syn_t syn = receive_syn(capture.get(), 6000);
  EXPECT_NE(connector->find(ep("10.5.5.5", syn.source_port), server_endpoint), nullptr);
  ASSERT_TRUE(tests::run_until(io, [&] { return outcome.calls == 1; }));
  ASSERT_FALSE(outcome.error) << outcome.error.message();

  const fw::util::scoped_fd_t accepted(::accept(server.get(), nullptr, nullptr));
  EXPECT_EQ(tests::endpoint_of(accepted.get(), true), ep("10.5.5.5", syn.source_port));
}

} // namespace
