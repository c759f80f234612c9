#pragma once

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace tests {

// Runs a shell command (inside the current namespace) and returns its standard output; fails the test
// when the command fails unless allow_failure is set.
inline std::string shell(const std::string &command, bool allow_failure = false) {
  std::string output;
  FILE *pipe = ::popen(command.c_str(), "r");
  if (!pipe) return ADD_FAILURE() << "popen failed: " << command, output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  const int status = ::pclose(pipe);
  if (!allow_failure && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
    ADD_FAILURE() << "command failed (" << status << "): " << command << "\n" << output;
  return output;
}

// Moves the calling process into a fresh network namespace with loopback up. Every test program runs
// each case as its own process, so a case that calls this leaves the host's tables, rules and routes
// alone, and the namespace disappears with the process. Skips the test when not running as root.
inline void enter_fresh_netns() {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
  ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << std::strerror(errno);
  shell("ip link set lo up");
}

} // namespace tests
