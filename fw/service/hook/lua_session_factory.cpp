#include "fw/service/hook/lua_session_factory.hpp"

#include <utility>

#include "fw/lua/intercept/driver.hpp"

namespace fw::service {

namespace {

class lua_session_t : public session_factory_t::session_t {
public:
  explicit lua_session_t(std::unique_ptr<fw::lua::intercept::driver_t> driver) : driver_(std::move(driver)) {}

  void set_result_handler(session_factory_t::result_handler_t handler) override {
    driver_->set_result_handler([handler = std::move(handler)](std::exception_ptr error,
                                                               fw::lua::intercept::verdict_t verdict,
                                                               fw::lua::intercept::artifacts_t artifacts) {
      handler(std::move(error), static_cast<session_factory_t::verdict_t>(static_cast<int>(verdict)),
              session_factory_t::artifacts_t{std::move(artifacts.user), std::move(artifacts.exe_path)});
    });
  }

private:
  std::unique_ptr<fw::lua::intercept::driver_t> driver_;
};

} // namespace

std::unique_ptr<session_factory_t::session_t> lua_session_factory_t::make_session(const connection_info_t &info,
                                                                                   const std::string &id) {
  fw::lua::intercept::connection_info_t record{info.src, info.dst, info.divert, info.iface_in,
                                               info.iface_out, info.uid, info.gid};
  return std::make_unique<lua_session_t>(lua_.make_session(record, id));
}

} // namespace fw::service
