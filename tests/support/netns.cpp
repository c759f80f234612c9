#include "tests/support/netns.hpp"

#include <sched.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace tests {

void enter_fresh_netns() {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
  ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << std::strerror(errno);
  shell("ip link set lo up");
}

std::string shell(const std::string &command, bool allow_failure) {
  std::string output;
  FILE *pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "popen failed: " << command;
    return output;
  }
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  if (!allow_failure && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
    ADD_FAILURE() << "command failed (" << status << "): " << command << "\n" << output;
  return output;
}

} // namespace tests
