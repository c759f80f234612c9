#include "tests/support/e2e_daemon.hpp"

#include <signal.h>

#include <fstream>
#include <stdexcept>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "tests/support/netns.hpp"
#include "tests/support/text.hpp"

namespace tests {

namespace fs = boost::filesystem;

e2e_daemon_t::e2e_daemon_t() : dir_(fs::temp_directory_path() / fs::unique_path("movri-e2e-%%%%%%%%")) {
  fs::create_directories(dir_);
}

// In the sanitizer build a report goes to standard error, collected with the output (the daemon shares
// the HubD stand-in's).
static void expect_no_sanitizer_report(const std::unique_ptr<child_process_t> &child) {
  const std::string out = child ? child->output() : "";
  for (const char *report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
    if (out.find(report) != std::string::npos) ADD_FAILURE() << "sanitizer report:\n" << out;
}

e2e_daemon_t::~e2e_daemon_t() {
  expect_no_sanitizer_report(hubd_);
  expect_no_sanitizer_report(vettd_lite_);
  hubd_.reset();
  vettd_lite_.reset();
  boost::system::error_code ignored;
  fs::remove_all(dir_, ignored);
}

std::string e2e_daemon_t::path(const std::string &name) const { return (dir_ / name).string(); }

std::string e2e_daemon_t::start_vettd_lite() {
  const std::string socket = path("vettd.sock");
  vettd_lite_ = std::make_unique<child_process_t>(std::string(MOVRI_TOOLS_DIR) + "/movri-vettd-lite",
                                                  std::vector<std::string>{socket});
  if (!vettd_lite_->wait_for_output("listening"))
    throw std::runtime_error("the VettD stand-in does not listen\n" + vettd_lite_->output());
  return socket;
}

void e2e_daemon_t::start(const options_t &options) {
  expect_no_sanitizer_report(hubd_);
  hubd_.reset();
  std::ofstream(path("hook.lua")) << options.hook;
  std::ofstream(path("firewall.conf"))
      << "log_level: " << options.log_level << "\n"
      << "actual_log " << options.log << "\n"
      << (options.autoconfigure ? "autoconfigure_iptables: true\nautoconfigure_routing: true\n"
                                  "local_delivery_mark { auto {} }\nclient_packets_mark { auto {} }\n"
                                  "server_packets_mark { auto {} }\noutput_divert_mark { auto {} }\n"
                                  "output_divert_nfqueue_number { auto {} }\n"
                                : "local_delivery_mark { manual: 1 }\nclient_packets_mark { manual: 2 }\n"
                                  "server_packets_mark { manual: 4 }\noutput_divert_mark { manual: 8 }\n"
                                  "output_divert_nfqueue_number { manual: 0 }\n")
      << "var_lib_dir: \"" << dir_.string() << "\"\n"
      << "xtables_lock_path: \"" << path("xtables.lock") << "\"\n"
      << "tproxy_listen_address { address: \"127.0.0.1\" port: 19999 }\n"
      << "output_divert_enable: true\n"
      << "intercept_hook { file: \"" << path("hook.lua") << "\" }\n"
      << options.extra_config;
  std::vector<std::string> args{"--daemon", MOVRI_BINARY};
  if (options.vettd) args.insert(args.end(), {"--vettd", *options.vettd});
  if (options.queryd) args.insert(args.end(), {"--queryd", *options.queryd});
  args.push_back(path("firewall.conf"));
  hubd_ = std::make_unique<child_process_t>(std::string(MOVRI_TOOLS_DIR) + "/movri-hubd-lite", args);
}

bool e2e_daemon_t::wait_ready() { return hubd_->wait_for_output("Ready for service"); }

pid_t e2e_daemon_t::daemon_pid() {
  // "hubd-lite: started <program> (pid N)"
  const auto line = wait_for_line("hubd-lite: started ");
  const auto at = line ? line->rfind("(pid ") : std::string::npos;
  if (at == std::string::npos) throw std::runtime_error("the stand-in did not announce the daemon\n" + output());
  const pid_t pid = std::stoi(line->substr(at + 5));
  if (pid <= 0) throw std::runtime_error("not a process: " + *line);
  return pid;
}

std::size_t e2e_daemon_t::count(const std::string &text) const { return tests::count(output(), text); }

bool e2e_daemon_t::wait_for_count(const std::string &text, std::size_t n, int timeout_seconds) {
  return hubd_->wait_until([&](const std::string &out) { return tests::count(out, text) >= n; }, timeout_seconds);
}

std::optional<std::string> e2e_daemon_t::wait_for_line(const std::string &prefix, int timeout_seconds) {
  std::optional<std::string> line;
  hubd_->wait_until([&](const std::string &out) {
    for (auto at = out.find(prefix); at != std::string::npos && !line; at = out.find(prefix, at + 1))
      if ((at == 0 || out[at - 1] == '\n') && out.find('\n', at) != std::string::npos)
        line = out.substr(at, out.find('\n', at) - at);
    return line.has_value();
  }, timeout_seconds);
  return line;
}

int e2e_daemon_t::stop() {
  hubd_->signal(SIGTERM);
  return hubd_->wait();
}

e2e_daemon_t::kernel_state_t e2e_daemon_t::kernel_state() const {
  kernel_state_t s;
  s.iptables_rules = std::stoi(shell("iptables-legacy-save 2>/dev/null | grep -c 'movri-firewall' || true", true));
  s.routing_rules = std::stoi(shell("ip rule | grep -c 'lookup 1[0-9][0-9]' || true", true));
  s.state_file = fs::exists(dir_ / "rule_info.dat");
  s.ip6tables_rules = std::stoi(shell("ip6tables-legacy-save 2>/dev/null | grep -c 'movri-firewall' || true", true));
  s.ipv6_routing_objects = std::stoi(
      shell("(ip -6 rule; ip -6 route show table all) | grep -c '\\(lookup\\|table\\) 1[0-9][0-9]' || true", true));
  return s;
}

void e2e_daemon_t::expect_nothing_left() const {
  const auto left = kernel_state();
  EXPECT_EQ(left.iptables_rules + left.ip6tables_rules, 0) << shell("iptables-legacy-save; ip6tables-legacy-save");
  EXPECT_EQ(left.routing_rules + left.ipv6_routing_objects, 0) << shell("ip rule; ip -6 rule; ip -6 route show table all");
  EXPECT_EQ(shell("ip route show table all | grep -c 'table 1[0-9][0-9]' || true", true), "0\n");
  EXPECT_FALSE(left.state_file);
}

} // namespace tests
