#include "mv/util/exceptions.hpp"

#include <new>
#include <regex>

#include <boost/system/system_error.hpp>

namespace mv::util {

boost::system::error_code error_code_of(const std::exception_ptr &e) noexcept {
  if (!e) return {};
  try {
    std::rethrow_exception(e);
  } catch (const boost::system::system_error &x) {
    return x.code();
  } catch (const cf_proto_exception_t &x) {
    return make_error_code(x.code());
  } catch (const cf_exception_t &x) {
    return x.code();
  } catch (const std::bad_alloc &) {
    return make_error_code(EC_NO_MEMORY);
  } catch (const ErrorCode &code) {
    return make_error_code(code);
  } catch (...) {
  }
  return make_error_code(EC_UNEXPECTED_ERROR);
}

std::string exception_message(const std::exception &e) {
  if (dynamic_cast<const std::bad_alloc *>(&e)) return "Not enough memory";
  std::string text = e.what();
  // Boost appends " [category:value at location]" to system error texts; the daemon's messages are the
  // step, ": " and the system's message only.
  if (const auto *system = dynamic_cast<const boost::system::system_error *>(&e)) {
    const std::string tag = " [" + system->code().to_string();
    if (auto at = text.find(tag); at != std::string::npos) {
      if (auto close = text.find(']', at); close != std::string::npos) text.erase(at, close - at + 1);
    }
  }
  static const std::string iterator_prefix = "boost::filesystem::directory_iterator::construct:";
  if (text.compare(0, iterator_prefix.size(), iterator_prefix) == 0)
    return "opendir:" + text.substr(iterator_prefix.size());
  // A qualified name such as "boost::filesystem::status: " loses everything up to its last "::".
  static const std::regex qualified("^boost::(?:[A-Za-z_][A-Za-z0-9_]*::)*");
  std::smatch m;
  if (std::regex_search(text, m, qualified)) return text.substr(m.length(0));
  return text;
}

std::string describe_exception(const std::exception_ptr &e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception &x) {
    return exception_message(x);
  } catch (const ErrorCode &code) {
    return "ErrorCode: " + error_code_name(code);
  } catch (...) {
  }
  return "Unexpected exception";
}

} // namespace mv::util
