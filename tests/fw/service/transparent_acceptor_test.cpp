#include <unistd.h>

#include "tests/fw/service/service_fixture.hpp"

namespace {

using fw::net::endpoint_t;

struct recording_delegate_t : fw::service::transparent_acceptor_t::delegate_t {
  struct client_t {
    endpoint_t client, server;
    fw::util::scoped_fd_t socket;
  };
  std::vector<client_t> clients;
  void new_client_socket(const endpoint_t &client, const endpoint_t &server, fw::util::scoped_fd_t socket) override {
    clients.push_back({client, server, std::move(socket)});
  }
};

struct AcceptorTest : tests::marks_test_t {
  recording_delegate_t delegate;
  fw::service::transparent_acceptor_t acceptor{io, delegate, config, marks};
};

TEST_F(AcceptorTest, AcceptsAConnectionSteeredByTproxyAndReportsTheServerTheClientMeant) {
  // Locally opened connections to 10.1.2.3 get mark 1, which routes them back in through the loopback
  // device, where the TPROXY rule hands them to the listening socket.
  tests::shell("ip addr add 10.9.9.9/32 dev lo");
  tests::shell("ip route add 10.1.2.0/24 dev lo");
  tests::shell("ip rule add fwmark 1 lookup 100");
  tests::shell("ip route add local 0.0.0.0/0 dev lo table 100");
  tests::shell("iptables-legacy -t mangle -A OUTPUT -d 10.1.2.3 -p tcp -j MARK --set-mark 1");
  tests::shell("iptables-legacy -t mangle -A PREROUTING -d 10.1.2.3 -p tcp -j TPROXY --on-ip 127.0.0.1 "
               "--on-port 7003 --tproxy-mark 1/1");
  tests::set_listen_address(config, "127.0.0.1", 7003);
  acceptor.start();

  const int client = tests::connecting("10.1.2.3", 80, [](int fd) {
    const auto from = tests::ep("10.9.9.9", 0);
    EXPECT_EQ(::bind(fd, from.data(), static_cast<socklen_t>(from.size())), 0);
  });
  ASSERT_TRUE(tests::run_until(io, [&] { return !delegate.clients.empty(); })) << log.all();
  const auto &accepted = delegate.clients.front();
  EXPECT_EQ(accepted.server, tests::ep("10.1.2.3", 80));
  EXPECT_EQ(accepted.client, tests::endpoint_of(client));
  EXPECT_EQ(accepted.client.address().to_string(), "10.9.9.9");

  // The descriptor handed over is the connection itself.
  ASSERT_EQ(::send(accepted.socket.get(), "x", 1, MSG_NOSIGNAL), 1);
  ASSERT_TRUE(tests::wait_for(client, POLLIN));
  char byte = 0;
  EXPECT_EQ(::recv(client, &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'x');
  ::close(client);
}

// The IPv6 listener follows the IPv4 one's port; when it cannot be opened (no IPv6 on the host, or as
// here the port taken) that costs one Info line, not the start.
TEST_F(AcceptorTest, ListensOnTheIpv6LoopbackWhenItCan) {
  const fw::util::scoped_fd_t taken(tests::listen_at("::1", 7102)); // the IPv6 socket cannot be opened there
  for (const bool ipv6 : {true, false}) {
    tests::set_listen_address(config, "127.0.0.1", ipv6 ? 7101 : 7102);
    acceptor.start();
    EXPECT_EQ(acceptor.local_endpoint().port(), ipv6 ? 7101 : 7102);
    EXPECT_EQ(acceptor.local_endpoint_ipv6().has_value(), ipv6);
    EXPECT_EQ(ipv6 ? fw::net::to_string(*acceptor.local_endpoint_ipv6()) : "", ipv6 ? "[::1]:7101" : "");
  }
  EXPECT_EQ(log.count_containing("Debug: Transparent acceptor: listening at [::1]:7101"), 1u) << log.all();
  EXPECT_EQ(log.count("Info: Transparent acceptor: bind to [::1]:7102 failed: Address already in use; no IPv6 "
                      "listener: diverting IPv4 connections only"), 1u) << log.all();
}

} // namespace
