#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include "mv/util/error_code.hpp"
#include "mv/util/exceptions.hpp"
#include "mv/util/exe_info.hpp"

namespace {

namespace fs = boost::filesystem;

struct exe_info_test_t : ::testing::Test {
  fs::path dir;
  void SetUp() override {
    dir = fs::temp_directory_path() / fs::unique_path("exe-info-%%%%%%%%");
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  mv::AppExeInfo info_of(const std::string &path) {
    std::string arg = path;
    char *argv[] = {arg.data(), nullptr};
    return mv::util::exe_info("1.2.3.4", 1, argv);
  }
  std::exception_ptr failure_of(const std::string &path) {
    try {
      info_of(path);
    } catch (...) {
      return std::current_exception();
    }
    return nullptr;
  }
};

TEST_F(exe_info_test_t, ThroughASymbolicLinkDescribesTheTarget) {
  std::ofstream(dir / "program") << "abc";
  fs::create_symlink(dir / "program", dir / "link");
  ASSERT_EQ(::chown((dir / "program").c_str(), 1234, 1234), 0);
  const auto info = info_of((dir / "link").string());
  EXPECT_EQ(info.version(), "1.2.3.4");
  EXPECT_EQ(info.exe_size(), 3u);
  EXPECT_EQ(info.exe_md5(), std::string("\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72", 16));
  // No user database entry for 1234: the id itself.
  EXPECT_EQ(info.exe_owner(), "1234");
  EXPECT_EQ(static_cast<std::time_t>(info.modification_time()), fs::last_write_time(dir / "program"));
  EXPECT_GT(info.install_time(), 0u);
}

TEST_F(exe_info_test_t, FailsForNoPathAMissingFileOrADirectory) {
  EXPECT_THROW(
      {
        try {
          mv::util::exe_info("1", 0, nullptr);
        } catch (const std::runtime_error &e) {
          EXPECT_STREQ(e.what(), "Unknown exe path");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_TRUE(failure_of((dir / "missing").string()));
  const auto e = failure_of(dir.string());
  EXPECT_EQ(mv::util::error_code_of(e), mv::make_error_code(mv::EC_NOT_A_REGULAR_FILE));
}

} // namespace
