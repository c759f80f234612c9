#pragma once

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "fw/lua/intercept/connection_info.hpp"
#include "fw/lua/intercept/driver.hpp"
#include "fw/lua/intercept/process_finder.hpp"
#include "fw/queryd/queryd.hpp"
#include "fw/util/service.hpp"
#include "fw/util/configuration.hpp"
#include "mv/lua/lookup/delegate.hpp"
#include "mv/lua/state.hpp"

namespace fw::service {

class process_finder_t;

// The Lua hook host: owns the daemon's one Lua state, loads the configured hook chunk at every start
// (into the same state, so globals survive across configurations) and opens a session per intercepted
// connection that ends in a verdict. Sessions ask it for PIDs (through the process finder) and for list
// lookups (through the QueryD client).
class lua_t : public fw::util::service_t,
              private fw::lua::intercept::process_finder_t,
              private mv::lua::lookup::delegate_t {
public:
  // Prepares the state: standard libraries, the coroutine runtime, "coroutine.make", the module movri
  // the intercept context support and the module movri.lookup. Throws; the state is closed again then.
  lua_t(boost::asio::io_context &io, const fw::configuration_t &config, fw::service::process_finder_t &finder,
        fw::queryd::queryd_t &queryd);
  ~lua_t() override;

  // Sets the package paths and loads the hook chunk; raises "Cannot load intercept hook: " + reason.
  void start() override;

  // A new session for the connection, its hook already started; id prefixes its log lines.
  std::unique_ptr<fw::lua::intercept::driver_t> make_session(const fw::lua::intercept::connection_info_t &info,
                                                             const std::string &id);

  lua_State *state() const noexcept { return state_.get(); }

private:
  void get_pid(const endpoint_t &src, const endpoint_t &dst, fw::lua::intercept::process_finder_t::handler_t handler) override;
  void lookup(const std::string &type, const std::string &tag, const params_t &params,
              lookup_handler_t handler) override;
  void check(const std::string &type, const std::string &tag, const std::string &value, const params_t &params,
             check_handler_t handler) override;
  void load_hook();

  boost::asio::io_context &io_;
  const fw::configuration_t &config_;
  fw::service::process_finder_t &finder_;
  fw::queryd::queryd_t &queryd_;
  mv::lua::state_t state_;
};

} // namespace fw::service
