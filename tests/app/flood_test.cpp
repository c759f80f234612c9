#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/child_process.hpp"
#include "tests/support/netns.hpp"

namespace {

namespace fs = boost::filesystem;

long rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// More new connections than the queue keeps pending, all waiting on a slow hook: the daemon stays up,
// its memory stays bounded, the queue-limit line is not written once per packet, and a connection
// afterwards still gets its verdict.
TEST(Flood, SynBurstBeyondTheQueueLimit) {
  tests::enter_fresh_netns();
  const fs::path dir = fs::temp_directory_path() / fs::unique_path("movri-flood-%%%%%%%%");
  fs::create_directories(dir);
  std::ofstream(dir / "firewall.conf")
      << "log_level: LOG_LEVEL_INFO\nactual_log { type: STDERR }\n"
      << "autoconfigure_iptables: true\nautoconfigure_routing: true\n"
      << "var_lib_dir: \"" << dir.string() << "\"\n"
      << "xtables_lock_path: \"" << (dir / "xtables.lock").string() << "\"\n"
      << "local_delivery_mark { auto {} }\nclient_packets_mark { auto {} }\nserver_packets_mark { auto {} }\n"
      << "tproxy_listen_address { address: \"127.0.0.1\" port: 19999 }\n"
      << "output_divert_enable: true\noutput_divert_nfqueue_number { auto {} }\noutput_divert_mark { auto {} }\n"
      << "intercept_hook { buffer: \"local movri = require 'movri'\\n"
      << "function intercept_hook(ctx) if ctx.dst.port ~= 7001 then movri.sleep(60) end return 'pass' end\" }\n";
  const auto vettd_path = (dir / "vettd.sock").string();
  tests::child_process_t vettd(std::string(MOVRI_TOOLS_DIR) + "/movri-vettd-lite", {vettd_path});
  for (int i = 0; i < 100 && !fs::exists(vettd_path); ++i) ::usleep(20000);
  tests::child_process_t hubd(std::string(MOVRI_TOOLS_DIR) + "/movri-hubd-lite",
                              {"--daemon", MOVRI_BINARY, "--vettd", vettd_path, (dir / "firewall.conf").string()});
  ASSERT_TRUE(hubd.wait_for_output("Ready for service")) << hubd.output();
  const pid_t daemon = std::stoi(tests::shell("pgrep -P " + std::to_string(hubd.pid()) + " -x movri-firewall"));

  // A server for the connection made after the flood.
  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(7001);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(server, 16), 0);

  const long rss_before = rss_kib(daemon);
  std::vector<int> flood;
  for (int i = 0; i < 1500; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in target = address;
    target.sin_port = htons(static_cast<uint16_t>(20000 + i % 50));
    ::connect(fd, reinterpret_cast<sockaddr *>(&target), sizeof target);
    flood.push_back(fd);
  }
  ASSERT_TRUE(hubd.wait_for_output("queue limit reached; dropping the oldest packet")) << hubd.output();
  ::usleep(500000);

  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval timeout{10, 0};
  ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << hubd.output();
  ::close(client);

  EXPECT_EQ(::kill(daemon, 0), 0) << "the daemon died";
  const long rss_after = rss_kib(daemon);
  EXPECT_LT(rss_after, rss_before + 64 * 1024) << rss_before << " -> " << rss_after;
  const auto output = hubd.output();
  EXPECT_LE(count(output, "queue limit reached; dropping the oldest packet"), 5) << "one line per packet";

  for (int fd : flood) ::close(fd);
  ::close(server);
  hubd.signal(SIGTERM);
  EXPECT_EQ(hubd.wait(), 107) << hubd.output().substr(0, 4000);
  fs::remove_all(dir);
}

} // namespace
