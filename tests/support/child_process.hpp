#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tests {

// A program running beside the test. Its standard output and standard error are collected together
// by a background thread; descriptors listed in keep_fds stay open in it under the same numbers.
// Destroying a child that still runs kills it with SIGKILL.
class child_process_t {
public:
  child_process_t(const std::string &path, const std::vector<std::string> &args,
                  const std::map<std::string, std::optional<std::string>> &env = {},
                  const std::vector<int> &keep_fds = {});
  ~child_process_t();
  child_process_t(const child_process_t &) = delete;
  child_process_t &operator=(const child_process_t &) = delete;

  pid_t pid() const noexcept { return pid_; }
  void signal(int signal);
  // Waits until the collected output contains the text (false after the timeout or once the output ended
  // without it).
  bool wait_for_output(const std::string &text, int timeout_seconds = 20);
  // Waits for the exit and for the end of the output; returns the exit status or 128 + signal.
  // Kills the child after the timeout.
  int wait(int timeout_seconds = 30);
  std::string output() const;

private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  int output_fd_ = -1;
  mutable std::mutex mutex_;
  std::string output_;
  bool output_ended_ = false;
  std::thread reader_;
};

} // namespace tests
