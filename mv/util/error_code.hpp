#pragma once

#include <string>
#include <type_traits>

#include <boost/system/error_code.hpp>

#include "error.pb.h"

namespace mv {

// Error category of the suite's error enumeration, named "mv.Error". It maps no value to a generic
// condition; messages are the display texts of the enumerators.
class cf_proto_error_impl_t : public boost::system::error_category {
public:
  const char *name() const noexcept override { return "mv.Error"; }
  std::string message(int value) const override;
};

const boost::system::error_category &proto_error_category() noexcept;

inline boost::system::error_code make_error_code(ErrorCode e) noexcept {
  return {static_cast<int>(e), proto_error_category()};
}

// The enumerator name ("EC_BAD_CONFIG"), or the value in decimal when it is no enumerator.
std::string error_code_name(int value);
// Whether the value is an enumerator of ErrorCode.
bool is_error_code(int value) noexcept;

} // namespace mv

namespace boost::system {
template <> struct is_error_code_enum<mv::ErrorCode> : std::true_type {};
} // namespace boost::system
