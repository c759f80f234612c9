#pragma once

#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace mv::lua::lookup {

// What the module "movri.lookup" asks for its answers: the list service behind it. Handlers are called
// later, on the event loop, never inside lookup() or check().
class delegate_t {
public:
  using params_t = std::vector<std::pair<std::string, std::string>>;
  using lookup_handler_t = std::function<void(std::exception_ptr, std::vector<std::string>)>;
  using check_handler_t = std::function<void(std::exception_ptr, bool)>;

  virtual ~delegate_t() = default;
  virtual void lookup(const std::string &type, const std::string &tag, const params_t &params,
                      lookup_handler_t handler) = 0;
  virtual void check(const std::string &type, const std::string &tag, const std::string &value,
                     const params_t &params, check_handler_t handler) = 0;
};

} // namespace mv::lua::lookup
