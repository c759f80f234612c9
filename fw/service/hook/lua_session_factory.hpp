#pragma once

#include "fw/service/hook/lua.hpp"
#include "fw/service/path/session_factory.hpp"

namespace fw::service {

// Serves the diverter's verdict sessions from the Lua hook host.
class lua_session_factory_t : public session_factory_t {
public:
  explicit lua_session_factory_t(lua_t &lua) : lua_(lua) {}
  std::unique_ptr<session_t> make_session(const connection_info_t &info, const std::string &id) override;

private:
  lua_t &lua_;
};

} // namespace fw::service
