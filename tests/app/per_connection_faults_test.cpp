// Faults of one packet or one connection cost that packet or connection, never the daemon: crafted
// SYNs from raw sockets in the test's namespace (the output direction queues what local raw sockets
// send), a SYN carrying data on check, and a daemon out of descriptors.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/fw/net/packet_builder.hpp"
#include "tests/support/e2e_daemon.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/tcp.hpp"

namespace {

using fw::util::scoped_fd_t;
using tests::tcp::connect_outcome_t;

TEST(PerConnectionFaults, CraftedSyns) {
  tests::enter_fresh_netns();
  if (HasFatalFailure() || IsSkipped()) return;
  tests::e2e_daemon_t daemon;
  daemon.start({.hook = "function intercept_hook(ctx)\n"
                        "if ctx.dst.port == 7001 then return 'check' end return 'reject' end\n",
                .vettd = daemon.start_vettd_lite()});
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();

  // Rejected when read: a data offset below 5 once made the reset read beyond the header copy.
  const struct {
    std::uint8_t data_offset;
    std::size_t after; // bytes behind the 20-byte TCP header
    bool read;
  } rows[] = {{0, 0, false}, {1, 0, false}, {4, 8, false}, {6, 0, false},  {15, 0, false},
              {15, 36, false}, {5, 0, true},  {8, 12, true}, {5, 200, true}, {15, 40, true}};
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    tests::tcp_packet_t syn;
    syn.source = syn.destination = "127.0.0.1";
    syn.source_port = static_cast<std::uint16_t>(30000 + i);
    syn.destination_port = 7002;
    syn.data_offset = rows[i].data_offset;
    syn.after.assign(rows[i].after, 1); // no-operation options, or data
    tests::tcp::send_raw(syn.bytes());
  }
  // One queue, in order: once the last row is read, every row before it has been.
  const auto intercepted = [](std::size_t i) {
    return "packet intercepted: 127.0.0.1:" + std::to_string(30000 + i) + " -> 127.0.0.1:7002 (SYN)";
  };
  ASSERT_TRUE(daemon.wait_for_output(intercepted(std::size(rows) - 1))) << daemon.output();
  for (std::size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(daemon.count(intercepted(i)), rows[i].read ? 1u : 0u) << "row " << i;
  EXPECT_EQ(daemon.count("dropping unreadable packet: TCP data offset 0 is below 5"), 1u) << daemon.output();

  // A SYN carrying data (TCP Fast Open without a cookie) on check: the acceptor gets the SYN without
  // the data, and the client sends it again once connected.
  tests::shell("sysctl -q -w net.ipv4.tcp_fastopen=5");
  const scoped_fd_t server = tests::tcp::listen_on(7001);
  const scoped_fd_t client(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const sockaddr_in to = tests::tcp::loopback(7001);
  ASSERT_EQ(::sendto(client.get(), "hello", 5, MSG_FASTOPEN, reinterpret_cast<const sockaddr *>(&to), sizeof to), 5)
      << std::strerror(errno);
  const scoped_fd_t accepted = tests::tcp::server_side(client.get(), server.get(), daemon.output());
  EXPECT_EQ(tests::tcp::receive(accepted.get(), 5).bytes, "hello") << daemon.output();
  EXPECT_TRUE(tests::tcp::send_text(accepted.get(), "world"));
  EXPECT_EQ(tests::tcp::receive(client.get(), 5).bytes, "world");
  EXPECT_EQ(daemon.stop(), 107) << daemon.output();
}

// The lowest descriptor number the process has free.
int lowest_free_descriptor(pid_t pid) {
  return std::stoi(tests::shell("ls /proc/" + std::to_string(pid) + "/fd | sort -n | awk '$1 == n { n++ } END { print n + 0 }'"));
}

TEST(PerConnectionFaults, OutOfDescriptors) {
#ifdef __SANITIZE_ADDRESS__
  // The sanitizers' own checks open a pipe; in a daemon without a free descriptor they report faults
  // that are not there.
  GTEST_SKIP() << "needs descriptors the sanitizer runtime takes";
#endif
  tests::enter_fresh_netns();
  if (HasFatalFailure() || IsSkipped()) return;
  tests::e2e_daemon_t daemon;
  daemon.start({.hook = "function intercept_hook(ctx) return 'check' end\n", .vettd = daemon.start_vettd_lite()});
  ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
  const pid_t pid = daemon.daemon_pid();
  const scoped_fd_t server = tests::tcp::listen_on(7001);
  const auto checked_connection_works = [&] {
    const scoped_fd_t client = tests::tcp::start_connect(7001);
    tests::tcp::expect_exchange(client.get(), tests::tcp::server_side(client.get(), server.get(), daemon.output()).get());
  };
  checked_connection_works(); // the tie to VettD is up from now on

  // Not one descriptor more for the daemon.
  rlimit old{};
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &old), 0);
  rlimit none = old;
  none.rlim_cur = static_cast<rlim_t>(lowest_free_descriptor(pid));
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &none, nullptr), 0);

  // Straight to the transparent socket, marked so that no rule diverts it: the accept fails, and the
  // connection waiting for it is closed.
  const scoped_fd_t direct(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const std::uint32_t all_marks = 0xFFFFFFFF;
  ASSERT_EQ(::setsockopt(direct.get(), SOL_SOCKET, SO_MARK, &all_marks, sizeof all_marks), 0);
  const sockaddr_in acceptor = tests::tcp::loopback(19999);
  ASSERT_EQ(::connect(direct.get(), reinterpret_cast<const sockaddr *>(&acceptor), sizeof acceptor), 0);
  EXPECT_TRUE(tests::tcp::ends(direct.get())) << daemon.output();
  EXPECT_TRUE(daemon.wait_for_output("Transparent acceptor: accept failed: Too many open files")) << daemon.output();

  // A checked connection: the server connector cannot open its socket, the client is rejected.
  const scoped_fd_t rejected = tests::tcp::start_connect(7001);
  EXPECT_EQ(tests::tcp::finish_connect(rejected.get()), connect_outcome_t::refused) << daemon.output();
  EXPECT_TRUE(daemon.wait_for_output("Server connector: cannot open socket: Too many open files; connection rejected"))
      << daemon.output();

  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &old, nullptr), 0);
  checked_connection_works();
  EXPECT_EQ(::kill(pid, 0), 0) << "the daemon died";
  EXPECT_EQ(daemon.stop(), 107) << daemon.output();
}

} // namespace
