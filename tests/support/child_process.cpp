#include "tests/support/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace tests {

child_process_t::child_process_t(const std::string &path, const std::vector<std::string> &args, const env_t &env,
                                 const std::vector<int> &keep_fds, int err_fd) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    ::dup2(err_fd < 0 ? out[1] : err_fd, 2);
    for (int fd : keep_fds) ::fcntl(fd, F_SETFD, 0);
    for (const auto &[name, value] : env) value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    std::vector<char *> argv{const_cast<char *>(path.c_str())};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  if (pid_ < 0) throw std::runtime_error("fork failed");
  ::close(out[1]);
  output_fd_ = out[0];
  reader_ = std::thread([this] {
    char buffer[4096];
    for (ssize_t n; (n = ::read(output_fd_, buffer, sizeof buffer)) != 0 && (n > 0 || errno == EINTR);) {
      std::lock_guard lock(mutex_);
      if (n > 0) output_.append(buffer, static_cast<std::size_t>(n));
    }
    std::lock_guard lock(mutex_);
    output_ended_ = true;
  });
}

child_process_t::~child_process_t() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (reader_.joinable()) reader_.join();
  ::close(output_fd_);
}

void child_process_t::signal(int signal) {
  if (!status_) ::kill(pid_, signal);
}

bool child_process_t::wait_until(const std::function<bool(const std::string &)> &done, int timeout_seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard lock(mutex_);
      if (done(output_)) return true;
      if (output_ended_) return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

int child_process_t::wait(int timeout_seconds) {
  if (status_) return *status_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (r < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (reader_.joinable()) reader_.join();
  return *status_;
}

std::string child_process_t::output() const {
  std::lock_guard lock(mutex_);
  return output_;
}

process_result_t run_program(const std::string &path, const std::vector<std::string> &args, const env_t &env,
                             const std::vector<int> &keep_fds, int timeout_seconds) {
  process_result_t result;
  const std::unique_ptr<FILE, int (*)(FILE *)> err(std::tmpfile(), &std::fclose);
  ::fcntl(::fileno(err.get()), F_SETFD, FD_CLOEXEC);
  {
    child_process_t child(path, args, env, keep_fds, ::fileno(err.get()));
    result.status = child.wait(timeout_seconds);
    result.out = child.output();
  }
  std::rewind(err.get());
  for (int c; (c = std::fgetc(err.get())) != EOF;) result.err += static_cast<char>(c);
  return result;
}

} // namespace tests
