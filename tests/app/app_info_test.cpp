#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <google/protobuf/util/json_util.h>

#include "application.pb.h"
#include "tests/support/netns.hpp"
#include "tests/support/process.hpp"

namespace {

namespace fs = boost::filesystem;

TEST(AppInfo, DumpDescribesTheExecutableBehindASymbolicLink) {
  const fs::path dir = fs::temp_directory_path() / fs::unique_path("app-info-%%%%%%%%");
  fs::create_directories(dir);
  fs::create_symlink(MOVRI_BINARY, dir / "firewall");
  const auto r = tests::run_program((dir / "firewall").string(), {"--dump-app-info"}, {{"COM_MOVRI_MONITOR", std::nullopt}});
  fs::remove_all(dir);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.back(), '\n');
  mv::AppExeInfo info;
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(r.out, &info).ok()) << r.out;
  EXPECT_EQ(info.version(), MOVRI_VERSION);
  EXPECT_EQ(info.exe_size(), fs::file_size(MOVRI_BINARY));
  EXPECT_EQ(static_cast<std::time_t>(info.modification_time()), fs::last_write_time(MOVRI_BINARY));
  // Cross-check the digest with md5sum.
  std::string hex;
  for (unsigned char c : info.exe_md5()) {
    static const char digits[] = "0123456789abcdef";
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  EXPECT_EQ(tests::shell("md5sum " + std::string(MOVRI_BINARY) + " | cut -d' ' -f1"), hex + "\n");
  EXPECT_FALSE(info.exe_owner().empty());
}

} // namespace
