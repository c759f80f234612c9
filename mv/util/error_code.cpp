#include "mv/util/error_code.hpp"

#include "annotation.pb.h"

namespace mv {

std::string cf_proto_error_impl_t::message(int value) const {
  const auto *descriptor = ErrorCode_descriptor()->FindValueByNumber(value);
  if (!descriptor) return "Unknown error " + std::to_string(value);
  const auto &options = descriptor->options();
  if (options.HasExtension(display_name)) return options.GetExtension(display_name);
  return descriptor->name();
}

const boost::system::error_category &proto_error_category() noexcept {
  static const cf_proto_error_impl_t category;
  return category;
}

std::string error_code_name(int value) {
  if (const auto *descriptor = ErrorCode_descriptor()->FindValueByNumber(value))
    return descriptor->name();
  return std::to_string(value);
}

bool is_error_code(int value) noexcept { return ErrorCode_IsValid(value); }

} // namespace mv
