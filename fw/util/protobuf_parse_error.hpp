#pragma once

#include <stdexcept>
#include <string>

namespace fw::util {

// A received payload that does not parse as the expected message: "<full type name>: invalid message format".
class protobuf_parse_error_t : public std::runtime_error {
public:
  explicit protobuf_parse_error_t(const std::string &type_name)
      : std::runtime_error(type_name + ": invalid message format") {}
};

} // namespace fw::util
