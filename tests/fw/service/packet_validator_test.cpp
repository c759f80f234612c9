#include "fw/service/path/packet_validator.hpp"
#include "tests/fw/net/packet_builder.hpp"
#include "tests/fw/service/service_fixture.hpp"

namespace {

struct ValidatorTest : tests::marks_test_t {
  void SetUp() override {
    marks_test_t::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    tests::set_listen_address(config, "127.0.0.1", 7777);
    acceptor.start();
    validator.start();
  }

  // The invalid_packet_t text for a client packet (or a server's answer), or "" when the packet passes.
  std::string check(bool answer, const tests::tcp_packet_t &packet, std::uint32_t mark) {
    const auto bytes = packet.bytes();
    const fw::net::ipv4_header_t ip(bytes.data());
    const fw::net::tcp_header_t tcp(bytes.data() + ip.header_length());
    try {
      answer ? validator.validate_server_answer(ip, tcp, mark) : validator.validate_client_packet(ip, tcp, mark);
    } catch (const fw::service::packet_validator_t::invalid_packet_t &e) {
      return e.what();
    }
    return "";
  }

  tests::no_clients_t delegate;
  fw::service::transparent_acceptor_t acceptor{io, delegate, config, marks};
  fw::service::packet_validator_t validator{marks, acceptor};
};

TEST_F(ValidatorTest, ClientPacketAndServerAnswerChecks) {
  tests::tcp_packet_t syn;
  EXPECT_EQ(check(false, syn, 0), "");
  EXPECT_EQ(check(false, syn, 1 | 8), ""); // neither bypass mark
  EXPECT_EQ(check(false, syn, 2), "packet mark 2 does not match 0/6");
  EXPECT_EQ(check(false, syn, 4 | 1), "packet mark 5 does not match 0/6");

  syn.flags = 0x12;
  EXPECT_EQ(check(false, syn, 0), "tcp flags 18 do not match 2/18");
  syn.flags = 0x10;
  syn.ns = true;
  EXPECT_EQ(check(false, syn, 0), "tcp flags 272 do not match 2/18");
  syn.flags = 0x02 | 0x08; // other flags beside SYN pass
  EXPECT_EQ(check(false, syn, 0), "");

  syn.destination = "127.0.0.1";
  syn.destination_port = 7777;
  syn.options = {130, 3, 0xAB};
  EXPECT_EQ(check(false, syn, 0), "direct connection to 127.0.0.1:7777 is not allowed");
  syn.destination_port = 7778;
  EXPECT_EQ(check(false, syn, 0), "");
  syn.data_offset = 1; // copying the header by this length would leave the TCP header behind
  EXPECT_EQ(check(false, syn, 0), "tcp data offset 1 is below 5");

  tests::tcp_packet_t answer;
  answer.flags = 0x12;
  EXPECT_EQ(check(true, answer, 0), "");
  EXPECT_EQ(check(true, answer, 4), "packet mark 4 does not match 0/6");
  answer.flags = 0x02;
  answer.ns = true;
  EXPECT_EQ(check(true, answer, 0), "tcp flags 258 do not match 18/18");
  // No destination check for answers.
  answer.flags = 0x12;
  answer.destination = "127.0.0.1";
  answer.destination_port = 7777;
  EXPECT_EQ(check(true, answer, 0), "");
  answer.data_offset = 0;
  EXPECT_EQ(check(true, answer, 0), "tcp data offset 0 is below 5");
}

} // namespace
