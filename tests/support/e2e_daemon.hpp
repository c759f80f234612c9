#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <boost/filesystem/path.hpp>

#include "tests/support/child_process.hpp"

namespace tests {

// movri-firewall inside the test's namespace, run by the HubD stand-in (movri-hubd-lite) with a
// configuration that diverts the connections local processes open (so a client and a server on
// 127.0.0.1 in the test process go through it), installs its kernel rules and routing, and logs to
// standard error.
class e2e_daemon_t {
public:
  struct options_t {
    std::string hook{};                 // Lua text of the hook file
    std::string extra_config{};         // more configuration lines, protobuf text format
    std::optional<std::string> vettd{}; // socket paths HubD hands out; none: HubD answers with an error
    std::optional<std::string> queryd{};
    std::string log_level = "LOG_LEVEL_DEBUG"; // the daemon's threshold
    std::string log = "{ type: STDERR }";      // actual_log; FILE and SYSLOG also write to the log pipe
    bool autoconfigure = true; // false: neither rules nor routing, manual marks 1, 2, 4, 8 and queue 0
  };

  e2e_daemon_t(); // a fresh working directory; nothing runs yet
  // Kills what still runs and removes the directory; fails the test on a sanitizer report in the output.
  ~e2e_daemon_t();
  e2e_daemon_t(const e2e_daemon_t &) = delete;
  e2e_daemon_t &operator=(const e2e_daemon_t &) = delete;

  std::string path(const std::string &name) const; // in the working directory

  // Starts the VettD stand-in (movri-vettd-lite) on path("vettd.sock") until the end of the test;
  // returns that path once it listens (throws when it does not).
  std::string start_vettd_lite();

  // Writes the configuration and the hook and starts the stand-in, which starts the daemon. Once the
  // stand-in has ended (its daemon stopped or killed), a new one can be started in the same directory.
  void start(const options_t &options);
  bool wait_ready(); // waits for "Ready for service"

  child_process_t &hubd() { return *hubd_; }
  // The daemon's process, as the stand-in announced it.
  pid_t daemon_pid();
  std::string output() const { return hubd_->output(); }
  bool wait_for_output(const std::string &text, int timeout_seconds = 20) {
    return hubd_->wait_for_output(text, timeout_seconds);
  }
  std::size_t count(const std::string &text) const; // in the output so far
  // Waits until the text occurs at least n times.
  bool wait_for_count(const std::string &text, std::size_t n, int timeout_seconds = 20);
  // Waits for the first complete line that begins with the prefix; returns it without its newline.
  std::optional<std::string> wait_for_line(const std::string &prefix, int timeout_seconds = 20);
  int stop(); // with SIGTERM; the exit status

  // What of the daemon is left in the kernel: rules carrying its comment, policy routing rules that send
  // a mark to a table of its own, and the state file.
  struct kernel_state_t {
    int iptables_rules = 0;
    int routing_rules = 0;
    bool state_file = false;
    int ip6tables_rules = 0;
    int ipv6_routing_objects = 0; // IPv6 rules and routes in the tables 100 to 199
    bool operator==(const kernel_state_t &) const = default;
  };
  kernel_state_t kernel_state() const;
  // Fails the test for anything of the daemon left: IPv4 or IPv6 rules, routing rules or routes, the state file.
  void expect_nothing_left() const;

private:
  boost::filesystem::path dir_;
  std::unique_ptr<child_process_t> vettd_lite_;
  std::unique_ptr<child_process_t> hubd_;
};

} // namespace tests
