// The process finder against real TCP sockets in a private network namespace, with both inode getters.
// The BPF connect recorder is only ever attached to a child cgroup of the test's own, never the root.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "fw/linux/sock_diag/response_message.hpp"
#include "fw/service/hook/process_finder.hpp"
#include "tests/fw/service/service_fixture.hpp"
#include "tests/support/e2e_daemon.hpp"
#include "tests/support/error_text.hpp"

namespace {

using finder_t = fw::service::process_finder_t;
using recorder_t = finder_t::connect_recorder_t;
using endpoint_t = finder_t::endpoint_t;
using conn_key_t = finder_t::key_t;
using fw::util::scoped_fd_t;

// The local (or peer) endpoint of a socket; an IPv4-mapped address as IPv4.
endpoint_t endpoint_of(int fd, bool peer) {
  endpoint_t e;
  socklen_t length = static_cast<socklen_t>(e.capacity());
  peer ? ::getpeername(fd, e.data(), &length) : ::getsockname(fd, e.data(), &length);
  e.resize(length);
  if (e.address().is_v6() && e.address().to_v6().is_v4_mapped())
    return {boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, e.address().to_v6()), e.port()};
  return e;
}

conn_key_t key_of(int fd) { return {endpoint_of(fd, false), endpoint_of(fd, true)}; }

// A socket of the family connected to the server (from IPv6 to IPv4: the mapped address).
int connect_to(endpoint_t server, int family, const std::string &device = "") {
  if (family == AF_INET6 && server.address().is_v4())
    server = {boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, server.address().to_v4()), server.port()};
  const int fd = ::socket(family, SOCK_STREAM, 0);
  if (!device.empty()) EXPECT_EQ(::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.data(), device.size()), 0);
  EXPECT_EQ(::connect(fd, server.data(), static_cast<socklen_t>(server.size())), 0) << std::strerror(errno);
  return fd;
}

// A listener on 127.0.0.1 and one connection to it: the client socket and the accepted socket.
struct loopback_pair_t {
  scoped_fd_t listener{tests::listen_at("127.0.0.1", 0)};
  scoped_fd_t client{connect_to(endpoint_of(listener.get(), false), AF_INET)};
  scoped_fd_t server{::accept(listener.get(), nullptr, nullptr)};
};

// Sends fd over a unix socket, or (fd < 0) receives one.
int pass_fd(int channel, int fd = -1) {
  char byte = 'x';
  iovec iov{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{nullptr, 0, &iov, 1, control, sizeof control, 0};
  if (fd < 0) {
    if (::recvmsg(channel, &message, 0) != 1) return -1;
    std::memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof fd);
    return fd;
  }
  cmsghdr *cmsg = CMSG_FIRSTHDR(&message);
  *cmsg = {CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
  std::memcpy(CMSG_DATA(cmsg), &fd, sizeof fd);
  return static_cast<int>(::sendmsg(channel, &message, 0));
}

// Runs body in a child that then sleeps until killed.
pid_t spawn(const std::function<void()> &body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    for (;;) ::pause();
  }
  return pid;
}

// One answer: the PID or the error text.
using answer_t = std::variant<int, std::string>;

// Queues one request per key and runs the loop until every answer is in (each on the loop's thread).
std::vector<answer_t> find(finder_t &finder, boost::asio::io_context &io, const std::vector<conn_key_t> &keys) {
  std::vector<answer_t> answers(keys.size(), std::string("no answer"));
  auto guard = boost::asio::make_work_guard(io);
  std::size_t pending = keys.size();
  const auto loop_thread = std::this_thread::get_id();
  for (std::size_t i = 0; i < keys.size(); ++i)
    finder.find_pid(keys[i].first, keys[i].second, [&, i](std::exception_ptr error, int pid) {
      EXPECT_EQ(std::this_thread::get_id(), loop_thread);
      EXPECT_TRUE(!error || pid == 0);
      answers[i] = error ? answer_t(tests::text_of(error)) : answer_t(pid);
      --pending;
    });
  while (pending > 0) io.run_one();
  return answers;
}

// Wraps a real getter, records the size of every batch, and holds the first batch until released.
struct gated_getter_t : finder_t::inode_getter_t {
  explicit gated_getter_t(std::unique_ptr<inode_getter_t> inner) : inner_(std::move(inner)) {}
  std::string name() const override { return inner_->name(); }
  std::vector<std::uint32_t> get_inodes(const std::vector<conn_key_t> &keys) override {
    std::unique_lock guard(lock_);
    batches_.push_back(keys.size());
    guard.unlock();
    if (std::exchange(first_, false)) {
      entered_.set_value();
      gate_.get_future().wait();
    }
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    return inner_->get_inodes(keys);
  }

  std::promise<void> entered_, gate_;
  std::mutex lock_;
  std::vector<std::size_t> batches_;
  std::unique_ptr<inode_getter_t> inner_;
  bool first_ = true;
};

// A child of the cgroup v2 root holding only this test's process while it lives.
struct test_cgroup_t {
  std::string root = recorder_t::cgroup_v2_root(), path = root + "/movri-test-" + std::to_string(::getpid());
  test_cgroup_t() {
    EXPECT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
    std::ofstream(path + "/cgroup.procs") << ::getpid();
  }
  ~test_cgroup_t() {
    std::ofstream(root + "/cgroup.procs") << ::getpid() << std::flush;
    for (int i = 0; i < 50 && ::rmdir(path.c_str()) != 0; ++i) ::usleep(20000);
  }
  int attached() const { return std::stoi(tests::shell("bpftool cgroup show " + path + " | grep -c movri_connect || true")); }
};

class ProcessFinderKernel : public testing::TestWithParam<bool> {};

} // namespace

TEST_P(ProcessFinderKernel, BatchesHoldAtMost128RequestsAndUnheldSocketsHaveNoPaths) {
  tests::enter_fresh_netns();
  boost::asio::io_context io;
  auto owned = std::make_unique<gated_getter_t>(
      GetParam() ? std::unique_ptr<finder_t::inode_getter_t>(new finder_t::netlink_inode_getter_t)
                 : std::make_unique<finder_t::proc_inode_getter_t>());
  auto &getter = *owned;
  finder_t finder(io, std::move(owned));
  loopback_pair_t pair;

  // The first request holds the worker in the getter while 129 more are queued behind it; find() queues
  // them all before it runs the loop, which then opens the gate.
  auto guard = boost::asio::make_work_guard(io);
  int first_pid = -1;
  const conn_key_t server_key = key_of(pair.server.get());
  finder.find_pid(server_key.first, server_key.second, [&](std::exception_ptr, int pid) { first_pid = pid; });
  getter.entered_.get_future().wait();
  boost::asio::post(io, [&] { getter.gate_.set_value(); });
  const auto answers = find(finder, io, std::vector<conn_key_t>(129, key_of(pair.client.get())));
  guard.reset();
  io.run();

  EXPECT_EQ(first_pid, ::getpid());
  EXPECT_EQ(answers, std::vector<answer_t>(129, ::getpid()));
  {
    std::lock_guard lock(getter.lock_);
    EXPECT_EQ(getter.batches_, (std::vector<std::size_t>{1, 128, 1}));
  }
  // The client socket travels in a unix socket's queue: it exists, but no descriptor table holds it.
  const conn_key_t key = key_of(pair.client.get());
  int carrier[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM, 0, carrier), 0);
  scoped_fd_t sender(carrier[0]), receiver(carrier[1]);
  ASSERT_EQ(pass_fd(sender.get(), pair.client.get()), 1);
  pair.client.reset();
  io.restart();
  EXPECT_EQ(find(finder, io, {key}), std::vector<answer_t>{std::string("Cannot find paths")});
}

INSTANTIATE_TEST_SUITE_P(Getters, ProcessFinderKernel, testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Netlink" : "ProcNetTcp"; });

TEST(ProcessFinder, GettersAgreeOnABatchOfManySockets) {
  tests::enter_fresh_netns();
  std::vector<std::unique_ptr<loopback_pair_t>> pairs;
  std::vector<conn_key_t> keys;
  for (int i = 0; i < 20; ++i) {
    pairs.push_back(std::make_unique<loopback_pair_t>());
    keys.push_back(key_of(pairs.back()->client.get()));
    keys.push_back(key_of(pairs.back()->server.get()));
    keys.push_back({keys.back().second, endpoint_t()}); // no such socket
  }
  std::sort(keys.begin(), keys.end());
  const auto by_netlink = finder_t::netlink_inode_getter_t().get_inodes(keys);
  EXPECT_EQ(by_netlink, finder_t::proc_inode_getter_t().get_inodes(keys));
  EXPECT_EQ(std::count(by_netlink.begin(), by_netlink.end(), 0u), 20);
}

TEST(ProcessFinder, ProcTableParsingGetterFailuresAndShortDiagnostics) {
  const std::string path = testing::TempDir() + "/movri-tcp." + std::to_string(::getpid()), bad = "Cannot parse " + path;
  const std::string header =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
  const std::string line1 = "   0: 0100007F:1F90 0200007F:C350 01 00000000:00000000 00:00000000 00000000     0        0 "
                            "4242 1 0000000000000000 20 4 30 10 -1\n";
  const std::string line2 = "   1: 0100007F:1F90 0200007F:C351 06 00000000:00000000 03:00001770 00000000     0        0 "
                            "0 3 0000000000000000\n";
  const std::string line3 = "   2: 0100007F:1F90 0200007F:C351 01 00000000:00000000 00:00000000 00000000  1000        0 "
                            "7 1\n";
  finder_t::proc_inode_getter_t getter(path);
  const auto loopback = boost::asio::ip::make_address_v4("127.0.0.1"), other = boost::asio::ip::make_address_v4("127.0.0.2");
  const std::vector<conn_key_t> keys{{{loopback, 8080}, {other, 50000}}, {{loopback, 8080}, {other, 50001}}};
  const struct {
    std::string table, inodes_or_error;
  } cases[] = {
      {header + line1 + line2, "4242 0 "},
      {header + line1.substr(0, line1.size() - 1), "4242 0 "}, // no line feed after the last line
      {line1, bad + ": unexpected header"},
      {header + "   0: 0100007F:1F9 0200007F:C350 01\n", bad + ": malformed line 2"},
      {header + line1 + "   1: 0100007F:1F90 0200007F:C350 01 00000000:00000000 00:00000000 00000000 0 0 99999999999 1\n",
       bad + ": malformed line 3"},
      // The search stops once every key has its inode: a broken line after that is never read.
      {header + line1 + line3 + "garbage\n", "4242 7 "},
  };
  for (const auto &c : cases) {
    std::ofstream(path) << c.table;
    std::string inodes;
    const std::string error = tests::error_text([&] {
      for (const auto inode : getter.get_inodes(keys)) inodes += std::to_string(inode) + " ";
    }, "");
    EXPECT_EQ(error.empty() ? inodes : error, c.inodes_or_error) << c.table;
  }
  ::unlink(path.c_str());
  // A getter that fails answers the whole batch; a short diagnostics answer is refused.
  boost::asio::io_context io;
  finder_t finder(io, std::make_unique<finder_t::proc_inode_getter_t>("/nonexistent/tcp"));
  const conn_key_t key{endpoint_t(boost::asio::ip::address_v4::loopback(), 1), endpoint_t()};
  const auto answers = find(finder, io, {key, key});
  EXPECT_EQ(answers[0], answers[1]);
  EXPECT_EQ(std::get<std::string>(answers[0]).rfind("Cannot open /nonexistent/tcp: No such file or directory", 0), 0u);
  const std::uint8_t bytes[71] = {};
  EXPECT_EQ(tests::error_text([&] { fw::linux::sock_diag::response_message_t::parse(bytes, sizeof bytes); }),
            "Cannot parse response_message_t: Truncated message");
}

TEST(ProcessFinder, EveryMethodAgreesWithTheWalk) {
  tests::enter_fresh_netns();
  if (recorder_t::embedded_object().empty()) GTEST_SKIP() << "built without BPF support";
  test_cgroup_t cgroup;
  const int self = ::getpid();

  scoped_fd_t listen4(tests::listen_at("127.0.0.1", 0)), listen6(tests::listen_at("::1", 0));
  const endpoint_t server4 = endpoint_of(listen4.get(), false), server6 = endpoint_of(listen6.get(), false);

  // One row per socket: its client end's key, the PIDs the walk and the recorder name (0: not found).
  struct row_t {
    std::string name;
    conn_key_t key;
    int walk, bpf;
    bool listening = false; // only socket diagnostics skip listeners
  };
  std::vector<row_t> rows;
  std::vector<scoped_fd_t> held;
  std::vector<pid_t> children;
  const auto accept_from = [&](const endpoint_t &server) {
    held.emplace_back(::accept(server.address().is_v4() ? listen4.get() : listen6.get(), nullptr, nullptr));
    return conn_key_t{endpoint_of(held.back().get(), true), server};
  };
  const auto own = [&](const std::string &name, int fd, const endpoint_t &server) {
    held.emplace_back(fd);
    rows.push_back({name, accept_from(server), self, self});
  };

  own("connected before the recorder", connect_to(server4, AF_INET), server4);
  auto recorder = finder_t::choose_recorder(cgroup.path);
  ASSERT_TRUE(recorder);
  EXPECT_EQ(cgroup.attached(), 2);

  own("one process", connect_to(server4, AF_INET), server4);
  rows.push_back(rows.back()); // the same key twice in one batch
  own("IPv6", connect_to(server6, AF_INET6), server6);
  own("IPv6 socket connected to an IPv4-mapped address", connect_to(server4, AF_INET6), server4);
  int fd = -1;
  std::thread([&] { fd = connect_to(server4, AF_INET); }).join();
  own("connected by a thread", fd, server4);
  own("bound to an interface", connect_to(server4, AF_INET, "lo"), server4);
  rows.push_back({"not connected", {rows[1].key.first, endpoint_t(server4.address(), 1)}, 0, 0});
  rows.push_back({"listening only", {server4, endpoint_t()}, 0, 0, true});

  // The connecting child forks a grandchild that keeps the socket, tells its PID and exits: reaped at
  // once, or left a zombie until the end.
  for (const bool reaped : {true, false}) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t parent = spawn([&] {
      const int socket_fd = connect_to(server4, AF_INET);
      const pid_t holder = spawn([] {});
      ::write(pipe_fds[1], &holder, sizeof holder);
      ::close(socket_fd);
      ::_exit(0);
    });
    const auto vanished_key = accept_from(server4);
    pid_t holder = 0;
    ::read(pipe_fds[0], &holder, sizeof holder);
    siginfo_t exited{};
    ::waitid(P_PID, static_cast<id_t>(parent), &exited, WEXITED | (reaped ? 0 : WNOWAIT));
    if (!reaped) children.push_back(parent);
    children.push_back(holder);
    rows.push_back({reaped ? "connecting process vanished" : "connecting process a zombie", vanished_key, holder, holder});
  }

  // A child connects and passes the socket to this process: keeping its own copy, or not.
  for (const bool keeps : {true, false}) {
    int channel[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM, 0, channel), 0);
    const pid_t child = spawn([&] {
      const int socket_fd = connect_to(server4, AF_INET);
      pass_fd(channel[1], socket_fd);
      if (!keeps) ::close(socket_fd);
    });
    children.push_back(child);
    const auto key = accept_from(server4);
    held.emplace_back(pass_fd(channel[0]));
    // The walk names the first holder in /proc order (this process, older); the recorder the child.
    rows.push_back({keeps ? "shared with the connecting child" : "handed on by the connecting child", key, self, child});
    ::close(channel[0]);
    ::close(channel[1]);
  }

  boost::asio::io_context io;
  finder_t walk(io, std::make_unique<finder_t::netlink_inode_getter_t>());
  finder_t bpf(io, std::make_unique<finder_t::netlink_inode_getter_t>(), std::move(recorder));
  finder_t proc(io, std::make_unique<finder_t::proc_inode_getter_t>());
  std::vector<conn_key_t> keys(rows.size());
  std::transform(rows.begin(), rows.end(), keys.begin(), [](const row_t &row) { return row.key; });
  const auto ask = [&](finder_t &finder) { return io.restart(), find(finder, io, keys); };
  const auto by_walk = ask(walk), by_bpf = ask(bpf), by_proc = ask(proc);
  const auto expect = [](const answer_t &answer, int pid) { return pid ? answer == answer_t(pid) : answer.index() == 1; };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_TRUE(expect(by_walk[i], rows[i].walk)) << testing::PrintToString(by_walk[i]);
    EXPECT_TRUE(expect(by_bpf[i], rows[i].bpf)) << testing::PrintToString(by_bpf[i]);
    if (!rows[i].listening) EXPECT_TRUE(expect(by_proc[i], rows[i].walk)) << testing::PrintToString(by_proc[i]);
  }
  for (const pid_t child : children) ::kill(child, SIGKILL), ::waitpid(child, nullptr, 0);
}

TEST(ProcessFinder, RecorderFallbackAndLeftovers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  if (recorder_t::embedded_object().empty()) GTEST_SKIP() << "built without BPF support";
  tests::log_capture_t log;
  test_cgroup_t cgroup;
  const std::uint8_t garbage[64] = {};
  EXPECT_FALSE(finder_t::choose_recorder(cgroup.path, garbage));
  EXPECT_FALSE(finder_t::choose_recorder("/nonexistent"));
  EXPECT_FALSE(finder_t::choose_recorder(""));
  EXPECT_EQ(log.count_containing("Cannot record socket owners with BPF: Cannot open the BPF object: "), 1u) << log.all();
  EXPECT_EQ(log.count("Debug: Cannot record socket owners with BPF: Cannot open cgroup /nonexistent: No such file or "
                      "directory; /proc will be searched instead"), 1u);
  EXPECT_EQ(log.count("Debug: Socket owners are not recorded (COM_MOVRI_BPF_CGROUP is empty); /proc will be searched instead"), 1u);
  EXPECT_EQ(cgroup.attached(), 0);

  // A run killed with SIGKILL: the kernel detaches its programs with its last descriptor; a descriptor
  // that survives in another process (here a child it forked) keeps them attached until the next start.
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t run = spawn([&] {
    recorder_t recorder(cgroup.path);
    const pid_t heir = spawn([] {});
    ::write(pipe_fds[1], &heir, sizeof heir);
  });
  pid_t heir = 0;
  ASSERT_EQ(::read(pipe_fds[0], &heir, sizeof heir), static_cast<ssize_t>(sizeof heir));
  EXPECT_EQ(cgroup.attached(), 2);
  ::kill(run, SIGKILL);
  ::waitpid(run, nullptr, 0);
  EXPECT_EQ(cgroup.attached(), 2);
  {
    recorder_t next(cgroup.path);
    EXPECT_EQ(log.count("Notice: Removed 2 BPF program(s) left attached to " + cgroup.path), 1u);
    EXPECT_EQ(cgroup.attached(), 2);
  }
  EXPECT_EQ(cgroup.attached(), 0);
  ::kill(heir, SIGKILL);
}

// The daemon attaches to COM_MOVRI_BPF_CGROUP; after SIGKILL or SIGTERM nothing is left attached.
TEST(ProcessFinder, DaemonAttachesToItsCgroupUntilItEnds) {
  tests::enter_fresh_netns();
  if (recorder_t::embedded_object().empty()) GTEST_SKIP() << "built without BPF support";
  test_cgroup_t cgroup;
  ::setenv(finder_t::cgroup_variable, cgroup.path.c_str(), 1);
  tests::e2e_daemon_t daemon;
  const tests::e2e_daemon_t::options_t options{.hook = "function intercept_hook(ctx) return 'pass' end\n",
                                               .vettd = daemon.start_vettd_lite()};
  for (const bool kill : {true, false}) {
    daemon.start(options);
    ASSERT_TRUE(daemon.wait_ready()) << daemon.output();
    EXPECT_EQ(daemon.count("Socket owners are recorded at connect() by BPF programs attached to " + cgroup.path), 1u);
    EXPECT_EQ(cgroup.attached(), 2);
    if (kill) {
      ::kill(daemon.daemon_pid(), SIGKILL);
      daemon.hubd().wait();
    } else {
      EXPECT_EQ(daemon.stop(), 107);
    }
    EXPECT_EQ(cgroup.attached(), 0) << kill;
  }
}
