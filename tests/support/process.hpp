#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tests {

struct process_result_t {
  int status = -1; // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs a program with extra environment variables (a value of nullopt removes the variable) and
// collects its output. Descriptors listed in keep_fds stay open in the child under the same numbers.
process_result_t run_program(const std::string &path, const std::vector<std::string> &args,
                             const std::map<std::string, std::optional<std::string>> &env = {},
                             const std::vector<int> &keep_fds = {}, int timeout_seconds = 30);

// Starts a program with extra environment variables, its standard output on out_fd and its standard
// error on err_fd; descriptors listed in keep_fds stay open in it under the same numbers.
pid_t spawn_program(const std::string &path, const std::vector<std::string> &args,
                    const std::map<std::string, std::optional<std::string>> &env, const std::vector<int> &keep_fds,
                    int out_fd, int err_fd);

} // namespace tests
