#include "fw/util/process_runner.hpp"
#include "fw/util/system_error.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

#include <boost/system/system_error.hpp>

#include "fw/util/scoped_fd.hpp"

namespace fw::util {
namespace {

// Between fork and exec only async-signal-safe calls are made: the process may have other threads.
[[noreturn]] void exec_child(int read_fd, int write_fd, char *const *argv) {
  ::close(read_fd);
  if (::dup2(write_fd, STDOUT_FILENO) < 0 || ::dup2(write_fd, STDERR_FILENO) < 0) ::_exit(1);
  if (write_fd != STDOUT_FILENO && write_fd != STDERR_FILENO) ::close(write_fd);
  ::execvp(argv[0], argv);
  const int error = errno;
  const char *prefix = "execve failed: ";
  const char *reason = ::strerrordesc_np(error);
  if (!reason) reason = "Unknown error";
  [[maybe_unused]] ssize_t ignored = ::write(STDOUT_FILENO, prefix, std::strlen(prefix));
  ignored = ::write(STDOUT_FILENO, reason, std::strlen(reason));
  ::_exit(1);
}

} // namespace

std::string process_runner_t::run(const std::vector<std::string> &arguments) {
  if (arguments.empty()) throw std::invalid_argument("process_runner_t: no program given");
  std::vector<char *> argv;
  for (const std::string &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw system_error(errno, "pipe");
  scoped_fd_t read_end(fds[0]), write_end(fds[1]);

  const pid_t pid = ::fork();
  if (pid < 0) throw system_error(errno, "fork");
  if (pid == 0) exec_child(read_end.get(), write_end.get(), argv.data());

  write_end.reset();
  std::string output;
  std::optional<int> read_error;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      read_error = errno;
      break;
    }
  }
  read_end.reset(); // a child still writing gets EPIPE instead of blocking forever

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) throw system_error(errno, "waitpid");
  if (read_error) throw system_error(*read_error, "read");

  if (status != 0)
    throw std::runtime_error(arguments.front() + " exited with status " + std::to_string(status) +
                             (output.empty() ? std::string() : ": " + output));
  return output;
}

process_runner_t &process_runner_t::system() {
  static process_runner_t runner;
  return runner;
}

} // namespace fw::util
