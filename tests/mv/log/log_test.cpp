#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <iterator>

#include "fw/service/logger.hpp"
#include "mv/log/console_log.hpp"
#include "mv/log/file_log.hpp"
#include "mv/log/log.hpp"
#include "mv/log/log_factory.hpp"
#include "mv/util/exceptions.hpp"

// Each case runs in its own process, so the process-wide log starts in buffering mode every time.
namespace {

mv::Log syslog_config() {
  mv::Log config;
  config.set_type(mv::Log::SYSLOG);
  config.set_ident("movri-test");
  return config;
}

TEST(Log, FileSinkLineFormat) {
  const auto path = (std::filesystem::temp_directory_path() / ("movri-log." + std::to_string(::getpid()))).string();
  mv::Log config;
  config.set_type(mv::Log::FILE);
  config.set_path(path);
  mv::log::set_log(mv::log::make_log(config));
  mv::log::log(mv::log::Warning, "disk says hi");
  mv::log::set_log(mv::log::default_log()); // closes the file
  std::ifstream in(path);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::filesystem::remove(path);
  const std::regex line("[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[" + std::to_string(::getpid()) +
                        "\\] Warning: disk says hi\n");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_EQ(::access(path.c_str(), F_OK), -1);
}

TEST(Log, PipeCopyOfEveryRecordForSyslog) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_NONBLOCK), 0);
  ::setenv("COM_MOVRI_ADD_LOG_PIPE", std::to_string(p[1]).c_str(), 1);
  mv::log::adopt_log_pipe();
  EXPECT_EQ(::fcntl(p[1], F_GETFD), FD_CLOEXEC); // programs the daemon starts do not hold it
  mv::log::set_log(mv::log::make_log(syslog_config()));
  mv::log::log(mv::log::Info, "copied");
  char buffer[512];
  const auto n = ::read(p[0], buffer, sizeof buffer);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)),
            "Debug: Log Factory: Additional log - " + std::to_string(p[1]) + "\nInfo: copied\n");
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
    ::testing::internal::CaptureStderr();
    mv::log::set_log(std::make_shared<mv::log::cf_console_log_t>());
    mv::log::set_log(mv::log::make_log(syslog_config()));
    mv::log::log(mv::log::Info, "not copied");
    mv::log::set_log(std::make_shared<mv::log::cf_console_log_t>());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Log Factory: Wrong environment variable COM_MOVRI_ADD_LOG_PIPE\n");
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

} // namespace
