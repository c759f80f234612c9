#include <gtest/gtest.h>

#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include "app/exit_status.hpp"
#include "mv/util/exceptions.hpp"

namespace {

using boost::system::error_code;
using boost::system::generic_category;
using boost::system::system_category;
using fw::app::exit_status_of;

template <class E> int status_of(E e) { return exit_status_of(mv::util::error_code_of(std::make_exception_ptr(e))); }

TEST(ExitStatus, SuiteCodesPassUnchangedOthersFallBackTo125) {
  EXPECT_EQ(exit_status_of(mv::make_error_code(mv::EC_BAD_CONFIG)), 102);
  EXPECT_EQ(exit_status_of(mv::make_error_code(mv::EC_NO_VETTD)), 117);
  EXPECT_EQ(exit_status_of(mv::make_error_code(mv::EC_OK)), 0);
  // A value of the suite's category that is no enumerator maps through the generic table: none matches.
  EXPECT_EQ(exit_status_of(error_code(999, mv::proto_error_category())), 125);
  EXPECT_EQ(exit_status_of(error_code(13, mv::proto_error_category())), 125);
}

TEST(ExitStatus, GenericConditionsInTableOrder) {
  const std::pair<int, int> rows[] = {{0, 0},        {EACCES, 24}, {EPERM, 24},  {ENOENT, 23},
                                      {ENOTDIR, 25}, {EROFS, 28},  {EINVAL, 60}, {EEXIST, 27},
                                      {EADDRINUSE, 34}, {EXDEV, 37}, {ENOMEM, 21}, {EBADF, 125},
                                      {ECONNREFUSED, 125}};
  for (auto [errno_value, status] : rows) {
    EXPECT_EQ(exit_status_of(error_code(errno_value, system_category())), status) << errno_value;
    EXPECT_EQ(exit_status_of(error_code(errno_value, generic_category())), status) << errno_value;
  }
}

TEST(ExitStatus, ErrorCodeOfEachExceptionKind) {
  EXPECT_EQ(status_of(boost::system::system_error(EACCES, system_category(), "open")), 24);
  EXPECT_EQ(status_of(mv::cf_proto_exception_t(mv::EC_PROTOCOL_VIOLATION, "bad")), 12);
  EXPECT_EQ(status_of(mv::cf_exception_t(error_code(ENOENT, system_category()), "gone")), 23);
  EXPECT_EQ(status_of(mv::cf_exception_t(mv::make_error_code(mv::EC_NO_VETTD), "no vettd")), 117);
  EXPECT_EQ(status_of(std::bad_alloc()), 21);
  EXPECT_EQ(status_of(std::runtime_error("x")), 125);
  EXPECT_EQ(status_of(42), 125);
  EXPECT_EQ(status_of(mv::EC_APP_SUSPENDED), 88);
  EXPECT_FALSE(mv::util::error_code_of(nullptr));
}

TEST(ExceptionMessage, Adjustments) {
  using mv::util::exception_message;
  EXPECT_EQ(exception_message(std::bad_alloc()), "Not enough memory");
  EXPECT_EQ(exception_message(std::runtime_error("boost::filesystem::directory_iterator::construct: No such file")),
            "opendir: No such file");
  EXPECT_EQ(exception_message(std::runtime_error("boost::filesystem::status: Permission denied")),
            "status: Permission denied");
  EXPECT_EQ(exception_message(std::runtime_error("plain text boost::x")), "plain text boost::x");
  // Boost's own " [category:value at location]" decoration is not part of the daemon's messages.
  EXPECT_EQ(exception_message(boost::system::system_error(EBADF, system_category(), "assign")),
            "assign: Bad file descriptor");
  const boost::filesystem::filesystem_error fs("Cannot create log", "/nowhere/x.log",
                                               error_code(ENOENT, system_category()));
  EXPECT_EQ(exception_message(fs), "Cannot create log: No such file or directory: \"/nowhere/x.log\"");
}

TEST(ExceptionMessage, DescribeStoredException) {
  using mv::util::describe_exception;
  EXPECT_EQ(describe_exception(std::make_exception_ptr(std::runtime_error("broken"))), "broken");
  EXPECT_EQ(describe_exception(std::make_exception_ptr(mv::EC_BAD_CONFIG)), "ErrorCode: EC_BAD_CONFIG");
  EXPECT_EQ(describe_exception(std::make_exception_ptr(3.5)), "Unexpected exception");
  EXPECT_EQ(mv::error_code_name(102), "EC_BAD_CONFIG");
  EXPECT_EQ(mv::error_code_name(1234), "1234");
}

} // namespace
