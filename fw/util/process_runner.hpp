#pragma once

#include <string>
#include <vector>

namespace fw::util {

// Runs a program to its end and collects what it prints. Used for the few helper programs the daemon
// needs (the kernel-module loader); tests replace it with a fake.
class process_runner_t {
public:
  process_runner_t() = default;
  process_runner_t(const process_runner_t &) = delete;
  process_runner_t &operator=(const process_runner_t &) = delete;
  virtual ~process_runner_t() = default;

  // Runs arguments[0] (looked up in the executable search path) with the whole list as its arguments
  // and returns its combined standard output and error. System errors: "pipe", "fork", "waitpid",
  // "read" (raised once the child has been waited for). A child that does not exit with status 0
  // raises a runtime error: arguments[0] + " exited with status " + the wait status as waitpid reports
  // it (exit code 1 gives 256), followed by ": " + the output when there is any. A program that cannot
  // be executed prints "execve failed: " + the reason and exits with code 1.
  virtual std::string run(const std::vector<std::string> &arguments);

  // The process-wide runner that starts real processes.
  static process_runner_t &system();
};

} // namespace fw::util
