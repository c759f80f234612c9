#include "tests/support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace tests {

pid_t spawn_program(const std::string &path, const std::vector<std::string> &args,
                    const std::map<std::string, std::optional<std::string>> &env, const std::vector<int> &keep_fds,
                    int out_fd, int err_fd) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    for (int fd : keep_fds) ::fcntl(fd, F_SETFD, 0);
    for (const auto &[name, value] : env) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

process_result_t run_program(const std::string &path, const std::vector<std::string> &args,
                             const std::map<std::string, std::optional<std::string>> &env,
                             const std::vector<int> &keep_fds, int timeout_seconds) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = spawn_program(path, args, env, keep_fds, out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);
  process_result_t result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (auto &p : fds) {
      if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(p.fd);
        p.fd = -1;
        --open;
      } else {
        (p.fd == fds[0].fd ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      }
    }
  }
  for (auto &p : fds)
    if (p.fd >= 0) ::close(p.fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

} // namespace tests
