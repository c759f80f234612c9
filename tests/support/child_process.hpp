#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tests {

// Extra environment variables for a program; a value of nullopt removes the variable.
using env_t = std::map<std::string, std::optional<std::string>>;

// A program running beside the test. Its standard output and standard error (unless err_fd names
// another place for it) are collected together by a background thread; descriptors listed in keep_fds
// stay open in it under the same numbers. Destroying a child that still runs kills it with SIGKILL.
class child_process_t {
public:
  child_process_t(const std::string &path, const std::vector<std::string> &args, const env_t &env = {},
                  const std::vector<int> &keep_fds = {}, int err_fd = -1);
  ~child_process_t();
  child_process_t(const child_process_t &) = delete;
  child_process_t &operator=(const child_process_t &) = delete;

  pid_t pid() const noexcept { return pid_; }
  void signal(int signal);
  // Waits until done(the output so far) holds; false after the timeout or once the output ended without it.
  bool wait_until(const std::function<bool(const std::string &)> &done, int timeout_seconds = 20);
  bool wait_for_output(const std::string &text, int timeout_seconds = 20) {
    return wait_until([&](const std::string &out) { return out.find(text) != std::string::npos; }, timeout_seconds);
  }
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

struct process_result_t {
  int status = -1; // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs a program to its end (killed after the timeout) and collects its output.
process_result_t run_program(const std::string &path, const std::vector<std::string> &args, const env_t &env = {},
                             const std::vector<int> &keep_fds = {}, int timeout_seconds = 30);

} // namespace tests
