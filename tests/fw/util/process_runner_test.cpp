// The process runner (real child processes) and the kernel-module loader over a fake runner.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fw/util/module_loader.hpp"
#include "fw/util/process_runner.hpp"
#include "mv/log/log.hpp"
#include "tests/support/error_text.hpp"

namespace {

std::string run_error(const std::vector<std::string> &arguments) {
  return tests::error_text([&] { fw::util::process_runner_t::system().run(arguments); });
}

class capture_log_t : public mv::log::cf_log_t {
public:
  std::vector<std::pair<int, std::string>> records;
  void write(int level, std::string_view text) override { records.emplace_back(level, text); }
  void out_of_memory() noexcept override {}
};

class fake_runner_t : public fw::util::process_runner_t {
public:
  std::vector<std::vector<std::string>> calls;
  std::string failure; // raised as the runner's error when not empty
  std::string run(const std::vector<std::string> &arguments) override {
    calls.push_back(arguments);
    if (!failure.empty()) throw std::runtime_error(failure);
    return "";
  }
};

} // namespace

TEST(ProcessRunner, CollectsStandardOutputAndErrorTogether) {
  EXPECT_EQ(fw::util::process_runner_t::system().run({"sh", "-c", "echo out; echo err >&2; echo more"}),
            "out\nerr\nmore\n");
  EXPECT_EQ(fw::util::process_runner_t::system().run({"true"}), "");
  // More than a pipe buffer: the parent reads while the child writes.
  EXPECT_EQ(fw::util::process_runner_t::system().run({"head", "-c", "200000", "/dev/zero"}).size(), 200000u);
}

TEST(ProcessRunner, FailureTextCarriesWaitStatusAndOutput) {
  EXPECT_EQ(run_error({"sh", "-c", "echo 'modprobe: FATAL: Module x not found.'; exit 1"}),
            "sh exited with status 256: modprobe: FATAL: Module x not found.\n");
  EXPECT_EQ(run_error({"sh", "-c", "exit 3"}), "sh exited with status 768");
  EXPECT_EQ(run_error({"sh", "-c", "kill -KILL $$"}), "sh exited with status 9");
  EXPECT_EQ(run_error({"/nonexistent/modprobe", "x"}),
            "/nonexistent/modprobe exited with status 256: execve failed: No such file or directory");
  EXPECT_THROW(fw::util::process_runner_t::system().run({}), std::invalid_argument);
}

TEST(ModuleLoader, RunsModprobeAndLogsSuccess) {
  auto log = std::make_shared<capture_log_t>();
  mv::log::threshold = mv::log::Debug;
  mv::log::set_log(log);
  fake_runner_t runner;
  fw::util::module_loader_t loader(runner);

  loader.load("iptable_mangle");
  ASSERT_EQ(runner.calls.size(), 1u);
  EXPECT_EQ(runner.calls[0], (std::vector<std::string>{"/sbin/modprobe", "iptable_mangle"}));
  ASSERT_EQ(log->records.size(), 1u);
  EXPECT_EQ(log->records[0], std::make_pair(int(mv::log::Debug), std::string("Kernel module iptable_mangle loaded")));

  runner.failure = "/sbin/modprobe exited with status 256: modprobe: FATAL: Module nft_ct not found.";
  try {
    loader.load("nft_ct");
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error &e) {
    EXPECT_EQ(std::string(e.what()), runner.failure);
  }
  EXPECT_EQ(log->records.size(), 1u); // nothing logged for a failure
  mv::log::set_log(mv::log::default_log());
}
