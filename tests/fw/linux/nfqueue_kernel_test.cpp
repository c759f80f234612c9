// The interceptor against the kernel's NFQUEUE: the verdicts' effects on queued loopback SYNs.

#include <netinet/tcp.h>
#include <sys/fsuid.h>

#include <gmock/gmock.h>

#include <tuple>

#include "fw/linux/nfqueue/packet_interceptor.hpp"
#include "tests/fw/service/service_fixture.hpp"
#include "tests/support/tcp.hpp"

using fw::linux::nfqueue::packet_interceptor_t;

namespace {

constexpr std::uint16_t queue = 3;
constexpr std::uint16_t server_port = 5555;

struct seen_t {
  std::tuple<std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint8_t> addresses_flags;
  packet_interceptor_t::packet_attribs_t attribs;
  std::weak_ptr<packet_interceptor_t::packet_entry_t> entry;
};

struct recorder_t : packet_interceptor_t::delegate_t {
  std::vector<seen_t> packets;
  void packet_intercepted(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp,
                          const packet_interceptor_t::packet_attribs_t &attribs,
                          std::weak_ptr<packet_interceptor_t::packet_entry_t> entry) override {
    packets.push_back({{ip.ipv4().source_address(), ip.ipv4().destination_address(), tcp.source_port(), tcp.destination_port(),
                        tcp.flags()}, attribs, std::move(entry)});
  }
};

// A client whose connect to the listener is under way; prepare sees its socket before.
fw::util::scoped_fd_t start_connect(const std::function<void(int)> &prepare = {}) {
  return fw::util::scoped_fd_t(tests::connecting("127.0.0.1", server_port, prepare));
}

struct fixture_t {
  boost::asio::io_context io;
  recorder_t delegate;
  std::unique_ptr<packet_interceptor_t> interceptor;
  fw::util::scoped_fd_t server;

  // Binds the queue and queues TCP SYNs of OUTPUT (after the given rule).
  void start(std::uint32_t limit = 768, const std::string &before = "") {
    auto fd = packet_interceptor_t::open_queue(queue, 1024);
    interceptor = std::make_unique<packet_interceptor_t>(
        std::make_unique<fw::linux::netlink::async::link_t>(io, std::move(fd)), queue, limit);
    interceptor->start(delegate);
    if (!before.empty()) tests::shell("iptables-legacy -A OUTPUT " + before);
    tests::shell("iptables-legacy -A OUTPUT -p tcp --syn -j NFQUEUE --queue-num " + std::to_string(queue));
    server = tests::tcp::listen_on(server_port, 16);
  }
  void wait_packets(std::size_t n) {
    ASSERT_TRUE(tests::run_until(io, [&] { return delegate.packets.size() >= n; }));
  }
  // Runs the loop until the connect has an outcome, dropping any further SYN.
  int wait_connect(int fd, bool drop_more = false) {
    int result = -1;
    tests::run_until(io, [&] {
      for (auto &p : delegate.packets)
        if (drop_more) interceptor->drop(p.entry);
      return (result = tests::connect_outcome(fd, 0)) >= 0;
    });
    return result;
  }
};

} // namespace

// The SYN carries its metadata; accept lets it through, drop makes the connect time out, and a repeat
// with a mark passes the rule that skips the mark.
TEST(NfqueueKernel, SynCarriesItsMetadataAndEachVerdictActsOnItsConnection) {
  tests::enter_fresh_netns();
  fixture_t f;
  f.start(768, "-p tcp -m mark --mark 0x100/0x100 -j ACCEPT");
  const std::uint32_t mark = 0x77;
  ::setfsgid(4343);
  ::setfsuid(4242); // the socket's owner, taken at its creation
  auto client = start_connect([&](int fd) {
    ::setfsuid(0);
    ::setfsgid(0);
    ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark), 0);
  });
  f.wait_packets(1);
  const seen_t &p = f.delegate.packets[0];
  EXPECT_EQ(p.addresses_flags, std::make_tuple(htonl(INADDR_LOOPBACK), htonl(INADDR_LOOPBACK), tests::tcp::local_port(client.get()), server_port, std::uint8_t{0x02}));
  EXPECT_EQ(std::tie(p.attribs.mark, p.attribs.outdev, p.attribs.uid, p.attribs.gid), std::make_tuple(mark, 1u, 4242u, 4343u));
  EXPECT_FALSE(p.attribs.indev || p.attribs.hw_addr);
  EXPECT_EQ(tests::connect_outcome(client.get(), 0), -1); // held in the queue
  f.interceptor->accept(p.entry);
  EXPECT_EQ(f.wait_connect(client.get()), 0);
  EXPECT_GE(::accept(f.server.get(), nullptr, nullptr), 0);
  EXPECT_EQ(f.interceptor->pending_count(), 0u);
  EXPECT_EQ(f.delegate.packets.size(), 1u);

  auto repeated = start_connect();
  f.wait_packets(2);
  f.interceptor->repeat(f.delegate.packets[1].entry, 0x100);
  EXPECT_EQ(f.wait_connect(repeated.get()), 0);
  EXPECT_EQ(f.delegate.packets.size(), 2u); // not queued a second time
  EXPECT_GE(::accept(f.server.get(), nullptr, nullptr), 0);
  // The mark rule counted the repeated SYN (and nothing else of the connection carries the mark).
  EXPECT_THAT(tests::shell("iptables-legacy-save -c -t filter"), testing::ContainsRegex(R"(\[1:[0-9]+\] -A OUTPUT -p tcp -m mark --mark 0x100/0x100 -j ACCEPT)"));

  const unsigned timeout_ms = 300;
  auto dropped = start_connect([&](int fd) {
    ASSERT_EQ(::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout_ms, sizeof timeout_ms), 0);
  });
  f.wait_packets(3);
  f.interceptor->drop(f.delegate.packets[2].entry);
  EXPECT_EQ(f.wait_connect(dropped.get(), true), ETIMEDOUT);
  pollfd poll_server{f.server.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&poll_server, 1, 0), 0); // the server never saw it
}

TEST(NfqueueKernel, QueueLimitDropsTheOldestPacket) {
  tests::enter_fresh_netns();
  tests::log_capture_t log;
  fixture_t f;
  f.start(2);
  auto c1 = start_connect();
  auto c2 = start_connect();
  auto c3 = start_connect();
  f.wait_packets(3);
  EXPECT_EQ(log.count("Info: Packet interceptor: queue limit reached; dropping the oldest packet"), 1u) << log.all();
  EXPECT_EQ(f.interceptor->pending_count(), 2u);
  EXPECT_TRUE(f.delegate.packets[0].entry.expired());
  EXPECT_EQ(std::get<2>(f.delegate.packets[0].addresses_flags), tests::tcp::local_port(c1.get()));

  // The verdict for the pushed-out packet sends nothing (the kernel would refuse an unknown id and
  // fail the link); the others pass.
  f.interceptor->accept(f.delegate.packets[0].entry);
  f.interceptor->accept(f.delegate.packets[1].entry);
  f.interceptor->accept(f.delegate.packets[2].entry);
  EXPECT_EQ(f.wait_connect(c2.get()), 0);
  EXPECT_EQ(f.wait_connect(c3.get()), 0);
  EXPECT_NO_THROW(f.io.run_for(std::chrono::milliseconds(100)));
  EXPECT_EQ(tests::connect_outcome(c1.get(), 0), -1); // its SYN was dropped
}
