#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include <boost/system/error_code.hpp>

#include "mv/util/error_code.hpp"

namespace mv {

// A runtime error carrying an error code of any category.
class cf_exception_t : public std::runtime_error {
public:
  cf_exception_t(boost::system::error_code code, const std::string &what)
      : std::runtime_error(what), code_(code) {}
  const boost::system::error_code &code() const noexcept { return code_; }

private:
  boost::system::error_code code_;
};

// A runtime error carrying one of the suite's error codes.
class cf_proto_exception_t : public std::runtime_error {
public:
  cf_proto_exception_t(ErrorCode code, const std::string &what) : std::runtime_error(what), code_(code) {}
  ErrorCode code() const noexcept { return code_; }

private:
  ErrorCode code_;
};

namespace util {

// Error code of an exception: a system error's code, a suite exception's code, 21 for bad_alloc,
// 125 for anything else, 0 for no exception.
boost::system::error_code error_code_of(const std::exception_ptr &e) noexcept;

// The what() text with the daemon's adjustments: bad_alloc reads "Not enough memory", a leading
// "boost::" qualified name is dropped, and the directory iterator's construct step reads "opendir:".
std::string exception_message(const std::exception &e);

// A standard exception gives its message, an ErrorCode value "ErrorCode: " and its name, anything
// else "Unexpected exception".
std::string describe_exception(const std::exception_ptr &e);

} // namespace util
} // namespace mv
