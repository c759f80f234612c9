// movri-hubd-lite: the least HubD that can run movri-firewall. See --help.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

#include "fw/util/configuration.hpp"
#include "config_file.hpp"
#include "fw/util/asio_stream_socket_wrapper.hpp"
#include "fw/util/basic_ipc_link.hpp"
#include "fw/util/scoped_fd.hpp"
#include "hubd_linux_firewall_ipc.pb.h"
#include "mv/util/error_code.hpp"
#include "mv/util/exceptions.hpp"

namespace {

constexpr const char *usage = R"(Usage: movri-hubd-lite [options] CONFIG

Plays HubD, the suite's configuration daemon, for one movri-firewall process:

  - reads CONFIG, a configuration (mv.DarorUvurarevUzuvid) in protobuf text format;
    examples/firewall.conf documents every field the daemon reads;
  - starts movri-firewall with one end of a connected unix socket pair named in
    COM_MOVRI_MONITOR, and a pipe named in COM_MOVRI_ADD_LOG_PIPE;
  - answers each GET_CONFIG_REQUEST with the configuration and its revision: 1 for the
    configuration read at start, +1 for each successful reload;
  - answers GET_VETTD_REQUEST and GET_QUERYD_REQUEST with the socket paths given by
    --vettd and --queryd; without them, with an mv.Error (EC_NO_VETTD for VettD,
    EC_NO_SUCH_ENTRY for QueryD). The daemon ends with the error's code when it cannot
    get VettD;
  - copies the daemon's log records from the pipe to standard output (the daemon sends
    them there for the SYSLOG and FILE log types; with STDERR it writes them to its own
    standard error, which is this program's);
  - prints every state report (MY_INFO_NOTIFICATION) and incident report it receives.

Before handing the configuration out it does what HubD does: when the file has no
actual_log, the daemon gets the file's log (or syslog, facility daemon, when that is
AUTO or missing); a relative intercept_hook file name is taken relative to CONFIG's
directory.

Signals:
  SIGHUP          re-read CONFIG. A file that does not parse is reported with its line
                  and column and the configuration in force stays; a good one becomes
                  the next revision and the daemon gets SIGHUP, so it asks for it.
  SIGTERM, SIGINT forwarded to the daemon, which stops.

When the daemon exits, this program prints its status and the status's EC_ name and exits
with the same status (128 + N when the daemon was killed by signal N).

Options)";

std::string status_text(int status) { return std::to_string(status) + " (" + mv::error_code_name(status) + ")"; }

void say(const std::string &text) { std::cout << "hubd-lite: " << text << std::endl; }

struct options_t {
  std::string config_path;
  std::string daemon;
  std::optional<std::string> vettd;
  std::optional<std::string> queryd;
};

// The movri-firewall beside this program, if there is one; otherwise the one on PATH.
std::string default_daemon() {
  boost::system::error_code ec;
  const auto self = boost::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const auto beside = self.parent_path() / "movri-firewall";
    if (boost::filesystem::exists(beside, ec)) return beside.string();
  }
  return "movri-firewall";
}

class hubd_t : private fw::util::ipc_link_t::delegate_t {
public:
  hubd_t(boost::asio::io_context &io, options_t options, fw::configuration_t config)
      : io_(io), options_(std::move(options)), config_(std::move(config)), signals_(io), log_pipe_(io) {}

  // Starts the daemon and serves it; returns the status to exit with.
  int run() {
    signals_.add(SIGHUP);
    signals_.add(SIGTERM);
    signals_.add(SIGINT);
    signals_.add(SIGCHLD);
    spawn();
    wait_signal();
    read_log();
    io_.run();
    return status_;
  }

private:
  void spawn() {
    int channel[2], log[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0 || ::pipe2(log, O_CLOEXEC) != 0)
      throw boost::system::system_error(errno, boost::system::system_category(), "socketpair");
    fw::util::scoped_fd_t daemon_channel(channel[1]), daemon_log(log[1]);
    pid_ = ::fork();
    if (pid_ < 0) throw boost::system::system_error(errno, boost::system::system_category(), "fork");
    if (pid_ == 0) {
      ::fcntl(daemon_channel.get(), F_SETFD, 0);
      ::fcntl(daemon_log.get(), F_SETFD, 0);
      ::setenv("COM_MOVRI_MONITOR", std::to_string(daemon_channel.get()).c_str(), 1);
      ::setenv("COM_MOVRI_ADD_LOG_PIPE", std::to_string(daemon_log.get()).c_str(), 1);
      sigset_t none;
      ::sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      const char *argv[] = {options_.daemon.c_str(), nullptr};
      ::execvp(argv[0], const_cast<char *const *>(argv));
      std::cerr << "hubd-lite: cannot run " << options_.daemon << ": " << std::strerror(errno) << std::endl;
      ::_exit(127);
    }
    say("started " + options_.daemon + " (pid " + std::to_string(pid_) + ")");
    fw::util::asio_stream_socket_wrapper_t::socket_t socket(io_);
    socket.assign(boost::asio::local::stream_protocol(), channel[0]);
    link_ = std::make_unique<fw::util::ipc_link_t>(
        static_cast<fw::util::ipc_link_t::delegate_t &>(*this),
        std::make_unique<fw::util::asio_stream_socket_wrapper_t>(std::move(socket)));
    log_pipe_.assign(log[0]);
  }

  void wait_signal() {
    signals_.async_wait([this](const boost::system::error_code &ec, int signal) {
      if (ec) return;
      switch (signal) {
      case SIGHUP:
        reload();
        break;
      case SIGTERM:
      case SIGINT:
        say(std::string("forwarding ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
        if (!reaped_) ::kill(pid_, signal);
        break;
      case SIGCHLD:
        reap();
        break;
      }
      if (!finished()) wait_signal();
    });
  }

  void reload() {
    auto loaded = hubd_lite::load_config(options_.config_path);
    if (auto *error = std::get_if<std::string>(&loaded)) {
      say(*error);
      say("keeping revision " + std::to_string(revision_));
      return;
    }
    config_ = std::get<fw::configuration_t>(std::move(loaded));
    hubd_lite::resolve_config(config_, options_.config_path);
    ++revision_;
    say("loaded revision " + std::to_string(revision_) + " from " + options_.config_path);
    if (!reaped_) ::kill(pid_, SIGHUP);
  }

  void reap() {
    int status = 0;
    if (reaped_ || ::waitpid(pid_, &status, WNOHANG) != pid_) return;
    reaped_ = true;
    if (WIFEXITED(status)) {
      status_ = WEXITSTATUS(status);
      exit_line_ = "movri-firewall exited with status " + status_text(status_);
    } else {
      status_ = 128 + WTERMSIG(status);
      exit_line_ = "movri-firewall was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
                   ::strsignal(WTERMSIG(status)) + ")";
    }
    link_.reset();
    finish_if_done();
  }

  // The log pipe ends when the daemon (its only writer) is gone; its last records come before the status.
  void read_log() {
    log_pipe_.async_read_some(boost::asio::buffer(log_buffer_), [this](const boost::system::error_code &ec, std::size_t n) {
      if (ec) {
        log_done_ = true;
        finish_if_done();
        return;
      }
      std::cout.write(log_buffer_, static_cast<std::streamsize>(n)).flush();
      read_log();
    });
  }

  bool finished() const { return reaped_ && log_done_; }

  void finish_if_done() {
    if (!finished()) return;
    say(exit_line_);
    boost::system::error_code ignored;
    signals_.cancel(ignored);
    log_pipe_.close(ignored);
  }

  void on_message(const std::uint8_t *data, std::uint32_t size) override {
    using in_t = mv::Firewall2HubdMessage;
    in_t message;
    if (!message.ParseFromArray(data, static_cast<int>(size))) {
      say("the daemon sent a frame that does not parse as mv.Firewall2HubdMessage; closing the channel");
      link_.reset();
      return;
    }
    mv::Hubd2FirewallMessage reply;
    switch (message.tag()) {
    case in_t::GET_CONFIG_REQUEST:
      say("configuration request: sending revision " + std::to_string(revision_));
      reply.set_tag(mv::Hubd2FirewallMessage::GET_CONFIG_RESPONSE);
      reply.set_config_revision(revision_);
      *reply.mutable_config() = config_;
      break;
    case in_t::GET_VETTD_REQUEST:
      reply.set_tag(mv::Hubd2FirewallMessage::GET_VETTD_RESPONSE);
      answer_path(reply, "VettD", options_.vettd, mv::EC_NO_VETTD);
      break;
    case in_t::GET_QUERYD_REQUEST:
      reply.set_tag(mv::Hubd2FirewallMessage::GET_QUERYD_RESPONSE);
      answer_path(reply, "QueryD", options_.queryd, mv::EC_NO_SUCH_ENTRY);
      break;
    case in_t::MY_INFO_NOTIFICATION:
      say("state report: revision " + std::to_string(message.config_revision()) + ", VettD state " +
          mv::error_code_name(message.info().vettd_state()));
      return;
    case in_t::MY_INCIDENTS_NOTIFICATION:
      say("incidents: " + message.ShortDebugString());
      return;
    }
    const std::string bytes = reply.SerializeAsString();
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bytes.size()]);
    std::memcpy(buffer.get(), bytes.data(), bytes.size());
    link_->send(std::move(buffer), static_cast<std::uint32_t>(bytes.size()));
  }

  static void answer_path(mv::Hubd2FirewallMessage &reply, const char *name, const std::optional<std::string> &path,
                          mv::ErrorCode missing) {
    if (path) {
      say(std::string(name) + " request: sending " + *path);
      reply.set_socket_path(*path);
    } else {
      say(std::string(name) + " request: no socket path given, sending " + mv::error_code_name(missing));
      reply.mutable_error()->set_code(missing);
      reply.mutable_error()->set_what(std::string(name) + " is not available");
    }
  }

  void on_error(std::exception_ptr error) override {
    if (mv::util::error_code_of(error) == boost::asio::error::eof)
      say("movri-firewall closed the channel");
    else
      say("channel failed: " + mv::util::describe_exception(error));
    link_.reset();
  }

  boost::asio::io_context &io_;
  options_t options_;
  fw::configuration_t config_;
  std::uint32_t revision_ = 1;
  boost::asio::signal_set signals_;
  boost::asio::posix::stream_descriptor log_pipe_;
  char log_buffer_[4096];
  std::unique_ptr<fw::util::ipc_link_t> link_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  bool log_done_ = false;
  int status_ = 0;
  std::string exit_line_;
};

} // namespace

int main(int argc, char **argv) {
  namespace po = boost::program_options;
  options_t options;
  po::options_description visible("Options");
  visible.add_options()("help,h", "print this help and exit")(
      "daemon", po::value<std::string>(&options.daemon),
      "movri-firewall to run (default: the one beside this program, else the one on PATH)")(
      "vettd", po::value<std::string>(), "VettD socket path handed out on GET_VETTD_REQUEST")(
      "queryd", po::value<std::string>(), "QueryD socket path handed out on GET_QUERYD_REQUEST");
  po::options_description all;
  all.add(visible).add_options()("config", po::value<std::string>(&options.config_path));
  po::positional_options_description positional;
  positional.add("config", 1);
  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
    po::notify(vm);
  } catch (const std::exception &e) {
    std::cerr << "hubd-lite: " << e.what() << "\n" << usage << "\n" << visible;
    return 2;
  }
  if (vm.count("help")) {
    std::cout << usage << "\n" << visible;
    return 0;
  }
  if (options.config_path.empty()) {
    std::cerr << usage << "\n" << visible;
    return 2;
  }
  if (vm.count("vettd")) options.vettd = vm["vettd"].as<std::string>();
  if (vm.count("queryd")) options.queryd = vm["queryd"].as<std::string>();
  if (options.daemon.empty()) options.daemon = default_daemon();

  auto loaded = hubd_lite::load_config(options.config_path);
  if (auto *error = std::get_if<std::string>(&loaded)) {
    std::cerr << "hubd-lite: " << *error << std::endl;
    return 2;
  }
  auto config = std::get<fw::configuration_t>(std::move(loaded));
  hubd_lite::resolve_config(config, options.config_path);
  say("loaded revision 1 from " + options.config_path);

  try {
    boost::asio::io_context io(1);
    hubd_t hubd(io, std::move(options), std::move(config));
    return hubd.run();
  } catch (const std::exception &e) {
    std::cerr << "hubd-lite: " << mv::util::exception_message(e) << std::endl;
    return 1;
  }
}
