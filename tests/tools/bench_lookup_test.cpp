// The look-up benchmark tool, run with small numbers: the table has its rows, every look-up found the
// tool's own sockets (a miss makes the status 1), and the namespace is left without its sockets.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <regex>
#include <string>

#include "tests/support/netns.hpp"
#include "tests/support/process.hpp"

namespace {

const std::string tool = std::string(MOVRI_TOOLS_DIR) + "/movri-bench-lookup";
const char *const steps[] = {"sock_diag exact", "sock_diag dump", "/proc/net/tcp", "/proc fd walk", "whole find"};

bool has_row(const std::string &out, const std::string &step, int batch) {
  // step, batch, then four numbers.
  const std::regex row("(^|\n)" + std::regex_replace(step, std::regex(R"([/.])"), R"(\$&)") + " +" +
                       std::to_string(batch) + "( +[0-9]+\\.[0-9]+){4}\n");
  return std::regex_search(out, row);
}

// TCP sockets left in the namespace (lines of /proc/net/tcp after the header).
std::string tcp_sockets_left() { return tests::shell("tail -n +2 /proc/net/tcp | wc -l"); }

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
  EXPECT_EQ(tcp_sockets_left(), "0\n") << tests::shell("cat /proc/net/tcp");
}

} // namespace
