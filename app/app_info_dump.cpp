#include <ostream>
#include <string>

#include <google/protobuf/util/json_util.h>

#include "app/constants.hpp"
#include "mv/util/exe_info.hpp"

namespace fw::app {

// Prints the executable information record as JSON (without the final newline).
void dump_app_info(std::ostream &out, int argc, char **argv) {
  const mv::AppExeInfo info = mv::util::exe_info(version, argc, argv);
  std::string json;
  if (!google::protobuf::util::MessageToJsonString(info, &json).ok()) {
    json.clear();
    (void)google::protobuf::util::MessageToJsonString(mv::AppExeInfo(), &json);
  }
  out << json;
}

} // namespace fw::app
