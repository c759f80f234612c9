#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "fw/service/logger.hpp"
#include "mv/log/console_log.hpp"
#include "mv/log/file_log.hpp"
#include "mv/log/log.hpp"
#include "mv/log/log_factory.hpp"
#include "mv/util/exceptions.hpp"

// Each case runs in its own process, so the process-wide log starts in buffering mode every time.
namespace {

// Redirects a descriptor into a pipe for the lifetime of the object.
class captured_fd_t {
public:
  explicit captured_fd_t(int fd) : fd_(fd), saved_(::dup(fd)) {
    EXPECT_EQ(::pipe2(pipe_, O_NONBLOCK), 0);
    ::dup2(pipe_[1], fd_);
  }
  ~captured_fd_t() {
    ::dup2(saved_, fd_);
    ::close(saved_);
    ::close(pipe_[0]);
    ::close(pipe_[1]);
  }
  std::string read() {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipe_[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
  }

private:
  int fd_, saved_, pipe_[2];
};

std::string temp_path(const char *name) {
  return (std::filesystem::temp_directory_path() / (std::string(name) + "." + std::to_string(::getpid()))).string();
}

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Log, EarlyRecordsReplayInOrderFilteredByNewThreshold) {
  mv::log::log(mv::log::Debug, "first");
  mv::log::log(mv::log::Warning, "second");
  mv::log::log(mv::log::Info, "third");
  mv::log::log(mv::log::Error, "fourth");
  captured_fd_t err(2);
  mv::log::threshold = mv::log::Info;
  mv::log::set_log(std::make_shared<mv::log::cf_console_log_t>());
  EXPECT_EQ(err.read(), "Warning: second\nInfo: third\nError: fourth\n");
  mv::log::log(mv::log::Notice, "later");
  EXPECT_EQ(err.read(), "Notice: later\n");
}

TEST(Log, ConsoleFormatAndUnknownLevel) {
  captured_fd_t err(2);
  mv::log::set_log(mv::log::default_log());
  mv::log::log(mv::log::Notice, "hello");
  mv::log::log(7, "odd");
  mv::log::out_of_memory();
  EXPECT_EQ(err.read(), "Notice: hello\nUnknown: odd\nError: Not enough memory\n");
}

TEST(Log, FileSinkLineFormat) {
  const auto path = temp_path("movri-log");
  mv::Log config;
  config.set_type(mv::Log::FILE);
  config.set_path(path);
  mv::log::set_log(mv::log::make_log(config));
  mv::log::log(mv::log::Warning, "disk says hi");
  mv::log::set_log(mv::log::default_log()); // closes the file
  const auto text = slurp(path);
  std::filesystem::remove(path);
  const std::regex line("[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[" + std::to_string(::getpid()) +
                        "\\] Warning: disk says hi\n");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_EQ(::access(path.c_str(), F_OK), -1);
}

TEST(Log, FileInMissingDirectoryFailsToCreate) {
  mv::Log config;
  config.set_type(mv::Log::FILE);
  config.set_path("/nonexistent-movri-dir/sub/x.log");
  try {
    mv::log::make_log(config);
    FAIL() << "no exception";
  } catch (const std::exception &e) {
    const auto text = mv::util::exception_message(e);
    EXPECT_EQ(text.rfind("Cannot create log", 0), 0u) << text;
    EXPECT_NE(text.find("/nonexistent-movri-dir/sub/x.log"), std::string::npos) << text;
    EXPECT_EQ(mv::util::error_code_of(std::current_exception()).value(), ENOENT);
  }
}

TEST(Log, PipeCopyOfEveryRecordForSyslog) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_NONBLOCK), 0);
  ::setenv("COM_MOVRI_ADD_LOG_PIPE", std::to_string(p[1]).c_str(), 1);
  mv::log::adopt_log_pipe();
  EXPECT_EQ(::fcntl(p[1], F_GETFD), FD_CLOEXEC); // programs the daemon starts do not hold it
  mv::Log config;
  config.set_type(mv::Log::SYSLOG);
  config.set_ident("movri-test");
  mv::log::set_log(mv::log::make_log(config));
  mv::log::log(mv::log::Info, "copied");
  char buffer[512];
  const auto n = ::read(p[0], buffer, sizeof buffer);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)),
            "Debug: Log Factory: Additional log - " + std::to_string(p[1]) + "\nInfo: copied\n");
}

TEST(Log, NoPipeCopyForStderr) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_NONBLOCK), 0);
  ::setenv("COM_MOVRI_ADD_LOG_PIPE", std::to_string(p[1]).c_str(), 1);
  captured_fd_t err(2);
  mv::Log config;
  config.set_type(mv::Log::STDERR);
  mv::log::set_log(mv::log::make_log(config));
  mv::log::log(mv::log::Info, "only here");
  char buffer[512];
  EXPECT_EQ(::read(p[0], buffer, sizeof buffer), -1);
  EXPECT_NE(err.read().find("Info: only here\n"), std::string::npos);
}

// Not a number, or a descriptor that was not open at start-up although something the daemon opened
// since took its number: reported, and nothing is written to that descriptor.
TEST(Log, WrongPipeVariableIsReportedAndIgnored) {
  const int unused = ::dup(0);
  ::close(unused);
  for (const std::string value : {std::string("abc"), std::to_string(unused)}) {
    SCOPED_TRACE(value);
    ::setenv("COM_MOVRI_ADD_LOG_PIPE", value.c_str(), 1);
    mv::log::adopt_log_pipe();
    int p[2];
    ASSERT_EQ(::pipe2(p, O_NONBLOCK), 0); // takes the number that was free
    captured_fd_t err(2);
    mv::log::set_log(std::make_shared<mv::log::cf_console_log_t>());
    mv::Log config;
    config.set_type(mv::Log::SYSLOG);
    config.set_ident("movri-test");
    mv::log::set_log(mv::log::make_log(config));
    mv::log::log(mv::log::Info, "not copied");
    mv::log::set_log(std::make_shared<mv::log::cf_console_log_t>());
    EXPECT_EQ(err.read(), "Error: Log Factory: Wrong environment variable COM_MOVRI_ADD_LOG_PIPE\n");
    char buffer[64];
    EXPECT_EQ(::read(p[0], buffer, sizeof buffer), -1);
    ::close(p[0]);
    ::close(p[1]);
  }
}

TEST(Log, HostNamesAreEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/bin/curl", "/usr/bin/curl"},
      {"evil\nError: forged", "evil\\x0aError: forged"},
      {std::string("a\0b\r\x1b[31m\x7f", 10), "a\\x00b\\x0d\\x1b[31m\\x7f"},
      {"back\\slash", "back\\x5cslash"},
      {"ünïcode", "ünïcode"}};
  for (const auto &[name, logged] : cases) EXPECT_EQ(mv::log::escape(name), logged) << name;
}

TEST(Logger, ThresholdFromConfiguredLevel) {
  EXPECT_EQ(fw::service::logger_t::threshold_for(1), mv::log::Debug);
  EXPECT_EQ(fw::service::logger_t::threshold_for(4), mv::log::Warning);
  EXPECT_EQ(fw::service::logger_t::threshold_for(5), mv::log::Error);
  EXPECT_EQ(fw::service::logger_t::threshold_for(0), mv::log::Error);
  EXPECT_EQ(fw::service::logger_t::threshold_for(99), mv::log::Error);

  mv::DarorUvurarevUzuvid config; // log_level unset reads as Debug
  config.mutable_actual_log()->set_type(mv::Log::STDERR);
  fw::service::logger_t logger(config);
  captured_fd_t err(2);
  logger.start();
  EXPECT_EQ(mv::log::threshold.load(), mv::log::Debug);
  config.set_log_level(mv::LOG_LEVEL_ERROR);
  logger.start();
  EXPECT_EQ(mv::log::threshold.load(), mv::log::Error);
}

TEST(Logger, TypeWithoutSinkKeepsTheDaemonLogging) {
  mv::DarorUvurarevUzuvid config;
  config.mutable_actual_log()->set_type(mv::Log::AUTO);
  fw::service::logger_t logger(config);
  captured_fd_t err(2);
  logger.start();
  EXPECT_TRUE(mv::log::is_installed());
  mv::log::log(mv::log::Notice, "visible");
  EXPECT_NE(err.read().find("Notice: visible\n"), std::string::npos);
}

} // namespace
