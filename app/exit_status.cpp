#include "app/exit_status.hpp"

#include <boost/system/errc.hpp>

#include "mv/util/error_code.hpp"

namespace fw::app {

int exit_status_of(const boost::system::error_code &code) noexcept {
  if (code.category() == mv::proto_error_category() && mv::is_error_code(code.value())) return code.value();
  using boost::system::errc::errc_t;
  namespace errc = boost::system::errc;
  static constexpr struct {
    errc_t condition;
    mv::ErrorCode status;
  } table[] = {
      {errc::success, mv::EC_OK},
      {errc::permission_denied, mv::EC_PERMISSION_DENIED},
      {errc::operation_not_permitted, mv::EC_PERMISSION_DENIED},
      {errc::no_such_file_or_directory, mv::EC_NO_SUCH_ENTRY},
      {errc::not_a_directory, mv::EC_NOT_A_DIRECTORY},
      {errc::read_only_file_system, mv::EC_READ_ONLY_FS},
      {errc::invalid_argument, mv::EC_INVALID_ARGUMENT},
      {errc::file_exists, mv::EC_FILE_EXISTS},
      {errc::address_in_use, mv::EC_NAME_ALREADY_IN_USE},
      {errc::cross_device_link, mv::EC_CROSS_DEVICE_LINK},
      {errc::not_enough_memory, mv::EC_NO_MEMORY},
  };
  for (const auto &row : table)
    if (code == errc::make_error_condition(row.condition)) return row.status;
  return mv::EC_UNEXPECTED_ERROR;
}

} // namespace fw::app
