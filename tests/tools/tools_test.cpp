// The tools beside the daemon: the HubD stand-in runs it with the shipped example and passes its status
// on; the QueryD stand-in answers checks against each kind of list; the look-up benchmark, run small,
// prints its rows, finds its own sockets (a miss makes the status 1) and leaves none behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <fstream>
#include <regex>
#include <string>

#include "queryd_client_ipc.pb.h"
#include "tests/support/e2e_daemon.hpp"
#include "tests/support/framed_peer.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/unix_listener.hpp"

namespace {

TEST(HubdLite, StartsWithTheShippedExample) {
  tests::enter_fresh_netns();
  tests::e2e_daemon_t d;
  tests::child_process_t hubd(std::string(MOVRI_TOOLS_DIR) + "/movri-hubd-lite",
                              {"--daemon", MOVRI_BINARY, "--vettd", d.start_vettd_lite(),
                               std::string(MOVRI_SOURCE_DIR) + "/examples/firewall.conf"});
  ASSERT_TRUE(hubd.wait_for_output(std::string("Notice: RuvidOrederid ") + MOVRI_VERSION + ": Ready for service"))
      << hubd.output();
  hubd.signal(SIGINT);
  EXPECT_EQ(hubd.wait(), 107) << hubd.output();
}

// The stand-in serving lists of every kind from a temporary directory; the test is its client.
TEST(QuerydLite, ChecksMatchEachKindOfList) {
  tests::e2e_daemon_t dir; // only its working directory
  const auto write = [&](const std::string &name, const std::string &text) { std::ofstream(dir.path(name)) << text; };
  write("nets.txt", "# private\n10.0.0.0/8\n\n 192.168.1.5 \n2001:db8::/32\n");
  write("hosts.re", "^ads?\\.\n\\.example$\n");
  write("names.txt", "*.corp\nhost?\n");
  write("users.txt", "alice\nbob\n");
  write("queryd.conf", "# TYPE TAG FILE\ncidr nets nets.txt\nRegex hosts hosts.re\nmask names " + dir.path("names.txt") +
                           "\nallmatch users users.txt\nldap people users.txt\n");
  tests::child_process_t server(std::string(MOVRI_TOOLS_DIR) + "/movri-queryd-lite",
                                {"--socket", dir.path("queryd.sock"), dir.path("queryd.conf")});
  ASSERT_TRUE(server.wait_for_output("listening on")) << server.output();
  tests::framed_peer_t link(tests::unix_listener_t::connect_to(dir.path("queryd.sock")));
  // The answer to a check, in text form, or "<closed>".
  const auto check = [&](lp::LookupType type, const std::string &tag, const std::string &value) {
    lp::ClientMessage m;
    m.set_tag(lp::ClientMessage::CHECK_REQUEST);
    m.set_serial(7);
    m.set_lookup_type(type);
    m.set_lookup_tag(tag);
    m.set_check(value);
    link.send_bytes(tests::framed_peer_t::frame(m.SerializeAsString()));
    const auto payload = link.receive_frame(5, "the stand-in");
    lp::ServerMessage answer;
    return payload && answer.ParseFromString(*payload) ? answer.ShortDebugString() : "<closed>";
  };
  const std::string yes = "tag: CHECK_RESPONSE serial: 7 result: true", no = "tag: CHECK_RESPONSE serial: 7 result: false";
  EXPECT_EQ(check(lp::LOOKUP_CIDR, "nets", "10.200.3.4"), yes);
  EXPECT_EQ(check(lp::LOOKUP_CIDR, "nets", "192.168.1.6"), no);
  EXPECT_EQ(check(lp::LOOKUP_CIDR, "nets", "not-an-address"),
            "tag: CHECK_RESPONSE serial: 7 error { code: EC_INVALID_ARGUMENT what: \"cidr@nets: not an IP address: not-an-address\" }");
  EXPECT_EQ(check(lp::LOOKUP_REGEX, "hosts", "ads.tracker.net"), yes);
  EXPECT_EQ(check(lp::LOOKUP_REGEX, "hosts", "www.example.org"), no);
  EXPECT_EQ(check(lp::LOOKUP_MASK, "names", "build.corp"), yes);
  EXPECT_EQ(check(lp::LOOKUP_MASK, "names", "host12"), no);
  EXPECT_EQ(check(lp::LOOKUP_ALLMATCH, "users", "bob"), yes);
  // The tag belongs to its type: users is no mask list.
  EXPECT_EQ(check(lp::LOOKUP_MASK, "users", "bob"),
            "tag: CHECK_RESPONSE serial: 7 error { code: EC_NO_SUCH_ENTRY what: \"no list mask@users\" }");
}

const std::string tool = std::string(MOVRI_TOOLS_DIR) + "/movri-bench-lookup";
const char *const steps[] = {"sock_diag exact", "sock_diag dump", "/proc/net/tcp", "/proc fd walk", "whole find"};

bool has_row(const std::string &out, const std::string &step, int batch) {
  // step, batch, then four numbers.
  const std::regex row("(^|\n)" + std::regex_replace(step, std::regex(R"([/.])"), R"(\$&)") + " +" +
                       std::to_string(batch) + "( +[0-9]+\\.[0-9]+){4}\n");
  return std::regex_search(out, row);
}

TEST(BenchLookup, PrintsEveryStepForEveryBatchAndRaisesTheDescriptorLimit) {
  tests::enter_fresh_netns();
  // Fewer descriptors than 200 connections need (two ends each); the tool raises its limit.
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = 128;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

  const auto result = tests::run_program(tool, {"--connections", "200", "--repeat", "2"});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(std::regex_search(result.out, std::regex("TCP hash table: [0-9]+ entries")) ||
              result.out.find("TCP hash table: unknown") != std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("TCP sockets in this namespace: 401 (200 connections"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("inode getter of the finder: netlink socket"), std::string::npos) << result.out;
  for (const char *step : steps)
    for (int batch : {1, 32, 128}) EXPECT_TRUE(has_row(result.out, step, batch)) << step << " " << batch << "\n" << result.out;
  EXPECT_EQ(result.out.find("left out"), std::string::npos);
  EXPECT_EQ(tests::shell("tail -n +2 /proc/net/tcp | wc -l"), "0\n") << tests::shell("cat /proc/net/tcp");
}

} // namespace
