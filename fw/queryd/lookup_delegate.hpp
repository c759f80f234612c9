#pragma once

#include "fw/queryd/queryd.hpp"
#include "mv/lua/lookup/delegate.hpp"

namespace fw::queryd {

// Hands the lookups of the module "movri.lookup" to the QueryD client, unchanged.
class lookup_delegate_t : public mv::lua::lookup::delegate_t {
public:
  explicit lookup_delegate_t(queryd_t &client) : client_(client) {}

  void lookup(const std::string &type, const std::string &tag, const params_t &params,
              lookup_handler_t handler) override {
    client_.lookup(type, tag, params, std::move(handler));
  }
  void check(const std::string &type, const std::string &tag, const std::string &value, const params_t &params,
             check_handler_t handler) override {
    client_.check(type, tag, value, params, std::move(handler));
  }

private:
  queryd_t &client_;
};

} // namespace fw::queryd
