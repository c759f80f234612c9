#include "fw/util/configuration.hpp"
#include "fw/service/hook/lua.hpp"

#include <stdexcept>

#include "fw/lua/intercept/context.hpp"
#include "fw/service/hook/process_finder.hpp"
#include "fw/net/endpoint.hpp"
#include "mv/lua/coroutine_make.hpp"
#include "mv/lua/lookup/module.hpp"
#include "mv/lua/movri/module.hpp"
#include "mv/lua/runtime.hpp"

namespace fw::service {

namespace {

// Where the loaded hook function is kept.
constexpr const char hook_key[] = "fw.service.intercept_hook";
constexpr const char hook_name[] = "intercept_hook";

int open_libraries(lua_State *L) {
  luaL_openlibs(L);
  return 0;
}

// Sets package.path and package.cpath (raw) from the two values below the table at index 1.
int set_paths(lua_State *L) {
  lua_pushliteral(L, "path");
  lua_pushvalue(L, 2);
  lua_rawset(L, 1);
  lua_pushliteral(L, "cpath");
  lua_pushvalue(L, 3);
  lua_rawset(L, 1);
  return 0;
}

} // namespace

lua_t::lua_t(boost::asio::io_context &io, const fw::configuration_t &config, fw::service::process_finder_t &finder,
             fw::queryd::queryd_t &queryd)
    : io_(io), config_(config), finder_(finder), queryd_(queryd) {
  lua_State *const L = state_.get();
  lua_pushcfunction(L, open_libraries);
  if (lua_pcall(L, 0, 0, 0) != LUA_OK) throw std::runtime_error("Cannot open Lua libraries: " + mv::lua::error_text(L));
  mv::lua::install_runtime(L);
  mv::lua::install_coroutine_make(L);
  mv::lua::movri::register_types(L, io_);
  mv::lua::movri::register_module(L);
  fw::lua::intercept::install_context(L, static_cast<fw::lua::intercept::process_finder_t *>(this));
  fw::lua::intercept::driver_t::install_wrapper(L);
  mv::lua::lookup::register_module(L, static_cast<mv::lua::lookup::delegate_t &>(*this));
}

lua_t::~lua_t() = default;

void lua_t::start() {
  lua_State *const L = state_.get();
  // Globals are read raw: a hook may have given the global table a metatable that raises for
  // unknown names.
  lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
  lua_pushliteral(L, "package");
  lua_rawget(L, -2);
  lua_remove(L, -2);
  if (!lua_istable(L, -1)) {
    const int type = lua_type(L, -1);
    lua_pop(L, 1);
    throw std::runtime_error(std::string("Global variable 'package' is not a table but ") + mv::lua::type_name(type));
  }
  lua_pushcfunction(L, set_paths);
  lua_insert(L, -2);
  const std::string &path = config_.lua_package_path();
  const std::string &cpath = config_.lua_package_c_path();
  lua_pushlstring(L, path.data(), path.size());
  lua_pushlstring(L, cpath.data(), cpath.size());
  if (lua_pcall(L, 3, 0, 0) != LUA_OK) throw std::runtime_error("Cannot set package paths: " + mv::lua::error_text(L));

  try {
    load_hook();
  } catch (const std::exception &e) {
    throw std::runtime_error(std::string("Cannot load intercept hook: ") + e.what());
  }
}

void lua_t::load_hook() {
  lua_State *const L = state_.get();
  const auto &chunk = config_.intercept_hook();
  switch (chunk.chunk_case()) {
  case mv::LuaChunk::kBuffer: {
    // Named by its own text, as the interpreter names string chunks.
    const std::string &text = chunk.buffer();
    if (luaL_loadbufferx(L, text.data(), text.size(), text.c_str(), nullptr) != LUA_OK)
      throw std::runtime_error("Cannot load chunk: " + mv::lua::error_text(L));
    break;
  }
  case mv::LuaChunk::kFile:
    if (luaL_loadfilex(L, chunk.file().c_str(), nullptr) != LUA_OK)
      throw std::runtime_error("Cannot load file " + chunk.file() + ": " + mv::lua::error_text(L));
    break;
  default:
    throw std::runtime_error("No chunk set");
  }
  if (lua_pcall(L, 0, 0, 0) != LUA_OK) throw std::runtime_error("Cannot execute chunk: " + mv::lua::error_text(L));

  lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
  lua_pushstring(L, hook_name);
  lua_rawget(L, -2);
  lua_remove(L, -2);
  if (!lua_isfunction(L, -1)) {
    lua_pop(L, 1);
    throw std::runtime_error(std::string("Cannot find function ") + hook_name);
  }
  lua_setfield(L, LUA_REGISTRYINDEX, hook_key);
}

std::unique_ptr<fw::lua::intercept::driver_t> lua_t::make_session(const fw::lua::intercept::connection_info_t &info,
                                                                  const std::string &id) {
  lua_State *const L = state_.get();
  const int top = lua_gettop(L);
  lua_getfield(L, LUA_REGISTRYINDEX, hook_key);
  try {
    return std::make_unique<fw::lua::intercept::driver_t>(io_, L, info, id);
  } catch (...) {
    lua_settop(L, top); // whatever a failed start left on the stack
    throw;
  }
}

void lua_t::get_pid(const endpoint_t &src, const endpoint_t &dst, fw::lua::intercept::process_finder_t::handler_t handler) {
  finder_.find_pid(src, dst, [src, dst, handler = std::move(handler)](std::exception_ptr error, int pid) {
    if (error) return handler(error, 0);
    if (pid == 0)
      return handler(std::make_exception_ptr(std::runtime_error("no running process found for connection " +
                                                                fw::net::to_string(src) + " -> " + fw::net::to_string(dst))),
                     0);
    handler(nullptr, pid);
  });
}

void lua_t::lookup(const std::string &type, const std::string &tag, const params_t &params, lookup_handler_t handler) {
  queryd_.lookup(type, tag, params, std::move(handler));
}

void lua_t::check(const std::string &type, const std::string &tag, const std::string &value, const params_t &params,
                  check_handler_t handler) {
  queryd_.check(type, tag, value, params, std::move(handler));
}

} // namespace fw::service
