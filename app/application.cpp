#include "app/application.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <list>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/errc.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/stubs/logging.h>

#include "app/command_line.hpp"
#include "app/constants.hpp"
#include "app/exit_status.hpp"
#include "fw/hubd/tie.hpp"
#include "fw/service/siblings/appinfo_reporter.hpp"
#include "fw/service/logger.hpp"
#include "fw/service/path/connection_diverter.hpp"
#include "fw/service/path/connection_rejector.hpp"
#include "fw/service/kernel/iptables.hpp"
#include "fw/service/kernel/ip6tables.hpp"
#include "fw/service/hook/lua.hpp"
#include "fw/service/hook/lua_session_factory.hpp"
#include "fw/service/path/marking_retransmitter.hpp"
#include "fw/service/kernel/nftables.hpp"
#include "fw/service/path/packet_validator.hpp"
#include "fw/service/kernel/routing.hpp"
#include "fw/service/path/server_connector.hpp"
#include "fw/service/path/server_socket_pool.hpp"
#include "fw/service/path/transparent_acceptor.hpp"
#include "fw/service/siblings/vettd_tie_manager.hpp"
#include "fw/util/module_loader.hpp"
#include "fw/util/ipv6.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/service/hook/process_finder.hpp"
#include "fw/service/siblings/queryd.hpp"
#include "fw/util/asio_stream_socket_wrapper.hpp"
#include "fw/util/service.hpp"
#include "fw/util/configuration.hpp"
#include "mv/log/log.hpp"
#include "mv/log/log_factory.hpp"
#include "mv/lua/log.hpp"
#include "mv/util/callback_wrapper.hpp"
#include "mv/util/exceptions.hpp"
#include "mv/util/parse_int.hpp"

namespace fw::app {

namespace {

int status_of(const std::exception_ptr &e) { return exit_status_of(mv::util::error_code_of(e)); }

void ensure_log() {
  if (!mv::log::is_installed()) {
    mv::log::threshold = mv::log::Notice;
    mv::log::set_log(mv::log::default_log());
  }
}

[[noreturn]] void terminate_handler() {
  try {
    ensure_log();
    auto e = std::current_exception();
    if (!e) {
      MV_LOG(Error, "Unexpected exception");
      ::_exit(mv::EC_UNEXPECTED_ERROR);
    }
    try {
      std::rethrow_exception(e);
    } catch (const std::exception &x) {
      MV_LOG(Error, mv::util::exception_message(x));
      ::_exit(status_of(e));
    } catch (...) {
    }
    MV_LOG(Error, "Unexpected exception");
    ::_exit(mv::EC_UNEXPECTED_ERROR);
  } catch (...) {
    mv::log::out_of_memory();
    ::_exit(mv::EC_NO_MEMORY);
  }
}

void protobuf_log_handler(google::protobuf::LogLevel level, const char *, int, const std::string &message) {
  switch (level) {
  case google::protobuf::LOGLEVEL_INFO:
    MV_LOG(Info, message);
    break;
  case google::protobuf::LOGLEVEL_WARNING:
    if (message != "Reading dangerously large protocol message.") MV_LOG(Warning, message);
    break;
  default:
    MV_LOG(Error, message);
    break;
  }
}

void on_broken_pipe(int) {}

// A peer that went away (HubD, and with it the log pipe) costs a write error (EPIPE), never the process:
// the daemon still has its kernel rules to remove. A handler that does nothing rather than SIG_IGN,
// because an ignored signal stays ignored in the programs the daemon starts and a handled one does not.
void survive_broken_pipes() noexcept {
  struct sigaction action {};
  action.sa_handler = on_broken_pipe;
  ::sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGPIPE, &action, nullptr);
}

// Nothing the daemon inherited (the HubD channel, the log pipe, whatever its parent left open) passes on
// to the programs it starts, modprobe or a hook's os.execute: every descriptor above standard error
// becomes close-on-exec. The daemon itself keeps using them.
void inherit_nothing() noexcept {
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  DIR *const dir = ::opendir("/proc/self/fd");
  if (!dir) return;
  while (const dirent *entry = ::readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (fd > 2 && fd != ::dirfd(dir)) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  ::closedir(dir);
}

// Reads the HubD channel's descriptor number from COM_MOVRI_MONITOR.
int monitor_descriptor(const char *value) {
  auto fd = mv::util::parse_int32(value);
  if (!fd)
    throw std::runtime_error(std::string("Wrong environment variable COM_MOVRI_MONITOR: \"") + value + "\"");
  return *fd;
}

class app_t {
public:
  app_t() = default;
  app_t(const app_t &) = delete;
  app_t &operator=(const app_t &) = delete;

  // Steps 2 to 8 of start-up.
  void init(int argc, char **argv) {
    hubd_ = make_hubd_tie(io_, hubd_delegate_, argc, argv);
    mv::lua::log::set_log_function([](int level, const std::string &text) { mv::log::log(level, text); });
    const unsigned limit = connection_limit();
    build_services(limit);

    hangup_.emplace(io_);
    termination_.emplace(io_);
    std::set_terminate(terminate_handler);
    google::protobuf::SetLogHandler(protobuf_log_handler);

    add_signal(*hangup_, SIGHUP);
    add_signal(*termination_, SIGTERM);
    add_signal(*termination_, SIGINT);
    wait_hangup();
    wait_termination();
    request_config();
  }

  // Runs the event loop; every way out of it ends the process.
  [[noreturn]] void run() {
    try {
      io_.run();
    } catch (const mv::ErrorCode &code) {
      stop();
      exit_with(code);
    } catch (const std::exception &e) {
      const auto ptr = std::current_exception();
      const auto code = mv::util::error_code_of(ptr);
      namespace errc = boost::system::errc;
      if (::getuid() != 0 && (code == errc::permission_denied || code == errc::operation_not_permitted)) {
        MV_LOG(Debug, mv::util::exception_message(e));
        MV_LOG(Notice, "Will restart for config changes to take effect");
        stop();
        exit_with(0);
      }
      MV_LOG(Error, mv::util::exception_message(e));
      stop();
      exit_with(status_of(ptr));
    }
    exit_with(static_cast<int>(exit_status_));
  }

  // Applies one configuration revision by starting every service in list order.
  void apply_config(const fw::configuration_t &config, std::uint32_t revision) {
    revision_ = revision;
    revision_known_ = true;
    if (&config != &config_) config_.CopyFrom(config);
    try {
      for (auto &service : services_) service->start();
    } catch (const std::exception &e) {
      MV_LOG(Error, "Cannot apply configuration (revision " + std::to_string(revision) +
                        "): " + mv::util::exception_message(e));
      throw mv::EC_BAD_CONFIG;
    }
    MV_LOG(Notice, std::string(application_name) + " " + version + ": Ready for service");
  }

private:
  // HubD link failures and protocol breaches end the daemon: the throw leaves the event loop.
  class hubd_delegate_t : public fw::hubd::tie_t::delegate_t {
  public:
    void on_error(std::exception_ptr error) override {
      throw mv::cf_exception_t(mv::util::error_code_of(error), "HubD: " + mv::util::describe_exception(error));
    }
  };

  static std::unique_ptr<fw::hubd::tie_t> make_hubd_tie(boost::asio::io_context &io, hubd_delegate_t &delegate,
                                                        int argc, char **argv) {
    const char *value = std::getenv("COM_MOVRI_MONITOR");
    if (!value) run_command_line(argc, argv);
    const int fd = monitor_descriptor(value);
    fw::util::asio_stream_socket_wrapper_t::socket_t socket(io);
    boost::system::error_code ec;
    socket.assign(boost::asio::local::stream_protocol(), fd, ec);
    if (ec) throw boost::system::system_error(ec, "assign");
    return std::make_unique<fw::hubd::tie_t>(
        delegate, std::make_unique<fw::util::asio_stream_socket_wrapper_t>(std::move(socket)));
  }

  // Services are built after the services they refer to, then listed in start order.
  void build_services(unsigned connection_limit) {
    auto &loader = fw::util::module_loader_t::system();
    auto logger = std::make_unique<fw::service::logger_t>(config_);
    auto marks = std::make_unique<fw::service::marks_t>(config_);
    auto rejector = std::make_unique<fw::service::connection_rejector_t>(io_, *marks);
    auto retransmitter = std::make_unique<fw::service::marking_retransmitter_t>(io_, *marks);
    auto vettd = std::make_unique<fw::service::vettd_tie_manager_t>(
        io_, config_, *hubd_, fw::service::vettd_tie_manager_t::waiting_limit_for(connection_limit));
    auto pool = std::make_unique<fw::service::server_socket_pool_t>(*vettd, connection_limit);
    auto acceptor =
        std::make_unique<fw::service::transparent_acceptor_t>(io_, *pool, config_, *marks, fw::util::ipv6_enabled());
    auto validator = std::make_unique<fw::service::packet_validator_t>(*marks, *acceptor);
    auto connector = std::make_unique<fw::service::server_connector_t>(io_, config_, *marks, connection_limit);
    auto finder = std::make_unique<fw::service::process_finder_t>(io_);
    auto queryd = std::make_unique<fw::service::queryd_t>(io_, *hubd_);
    auto lua = std::make_unique<fw::service::lua_t>(io_, config_, *finder, queryd->client());
    sessions_ = std::make_unique<fw::service::lua_session_factory_t>(*lua);
    auto diverter = std::make_unique<fw::service::connection_diverter_t>(
        io_, *pool, config_, *connector, *marks, *rejector, *retransmitter, *validator, *sessions_);
    auto iptables = std::make_unique<fw::service::iptables_t>(config_, *marks, acceptor->local_endpoint(),
                                                              *diverter, loader);
    auto nftables = std::make_unique<fw::service::nftables_t>(config_, *marks, acceptor->local_endpoint(),
                                                              *diverter, io_, loader, fw::util::ipv6_enabled());
    auto ip6tables = std::make_unique<fw::service::ip6tables_t>(config_, *marks, acceptor->local_endpoint(),
                                                                *diverter, loader, fw::util::ipv6_enabled());
    auto routing = std::make_unique<fw::service::routing_t>(config_, *marks, fw::util::ipv6_enabled());
    auto reporter = std::make_unique<fw::service::appinfo_reporter_t>(*hubd_, &revision_);

    services_.push_back(std::move(logger));
    services_.push_back(std::move(queryd));
    services_.push_back(std::move(finder));
    services_.push_back(std::move(marks));
    services_.push_back(std::move(rejector));
    services_.push_back(std::move(retransmitter));
    services_.push_back(std::move(acceptor));
    services_.push_back(std::move(pool));
    services_.push_back(std::move(vettd));
    services_.push_back(std::move(validator));
    services_.push_back(std::move(connector));
    services_.push_back(std::move(lua));
    services_.push_back(std::move(diverter));
    services_.push_back(std::move(nftables));
    services_.push_back(std::move(iptables));
    services_.push_back(std::move(ip6tables));
    services_.push_back(std::move(routing));
    services_.push_back(std::move(reporter));
  }

  static void add_signal(boost::asio::signal_set &set, int signal) {
    boost::system::error_code ec;
    set.add(signal, ec);
    if (ec) throw boost::system::system_error(ec, "signal");
  }

  void wait_hangup() {
    hangup_->async_wait(hangup_alive_.wrap([this](const boost::system::error_code &ec, int) {
      if (ec) throw boost::system::system_error(ec, "signal");
      MV_LOG(Notice, "SIGHUP received, config will be ordered from HubD");
      request_config();
      wait_hangup();
    }));
  }

  void wait_termination() {
    termination_->async_wait(termination_alive_.wrap([this](const boost::system::error_code &ec, int) {
      if (ec) throw boost::system::system_error(ec, "signal");
      MV_LOG(Notice, "Termination signal received, exiting...");
      exit_status_ = mv::EC_APP_TERMINATED;
      stop();
    }));
  }

  void request_config() {
    hubd_->get_config([this](const fw::configuration_t &config, std::uint32_t revision) {
      apply_config(config, revision);
    });
  }

  void stop() {
    if (hangup_) {
      boost::system::error_code ignored;
      hangup_->cancel(ignored);
      hangup_alive_.abandon();
    }
    if (termination_) {
      boost::system::error_code ignored;
      termination_->cancel(ignored);
      termination_alive_.abandon();
    }
    while (!services_.empty()) services_.pop_back();
    hubd_.reset();
  }

  std::uint32_t exit_status_ = 0;
  boost::asio::io_context io_{1};
  fw::configuration_t config_;
  bool revision_known_ = false;
  std::uint32_t revision_ = 0;
  hubd_delegate_t hubd_delegate_;
  std::unique_ptr<fw::hubd::tie_t> hubd_;
  // Serves the diverter from the Lua host; declared first so that it outlives the services.
  std::unique_ptr<fw::service::lua_session_factory_t> sessions_;
  std::list<std::unique_ptr<fw::util::service_t>> services_;
  std::optional<boost::asio::signal_set> hangup_;
  mv::util::callback_wrapper_t hangup_alive_;
  std::optional<boost::asio::signal_set> termination_;
  mv::util::callback_wrapper_t termination_alive_;
};

} // namespace

unsigned connection_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    const int error = errno;
    throw boost::system::system_error(error, boost::system::system_category(), "Cannot get rlimit");
  }
  return static_cast<unsigned>(static_cast<double>(limit.rlim_cur) * 0.4);
}

void exit_with(int status) {
  ensure_log();
  MV_LOG(Notice, "Exit with status " + std::to_string(status) + " (" + mv::error_code_name(status) + ")");
  std::exit(status);
}

int run(int argc, char **argv) {
  survive_broken_pipes();
  inherit_nothing();
  mv::log::adopt_log_pipe(); // before the event loop or anything else opens a descriptor
  mv::log::install_exit_flush();
  std::unique_ptr<app_t> app;
  try {
    app = std::make_unique<app_t>();
    app->init(argc, argv);
  } catch (...) {
    const auto e = std::current_exception();
    ensure_log();
    MV_LOG(Error, "Initialization failed: " + mv::util::describe_exception(e));
    exit_with(status_of(e));
  }
  app->run();
}

} // namespace fw::app
