#include "fw/lua/intercept/driver.hpp"

#include <cctype>
#include <stdexcept>
#include <utility>

#include <boost/asio/post.hpp>

#include "fw/lua/intercept/context.hpp"
#include "fw/net/endpoint.hpp"
#include "mv/log/log.hpp"
#include "mv/lua/runtime.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::lua::intercept {

namespace {

// Run once when installed; returns the function each session's thread runs with (hook, context). It
// runs the hook protected; when the verdict is check or the hook failed, the scanning gateway will need
// the originator, so reading the two artifact fields looks them up; otherwise only values the hook
// itself caused to be looked up are returned.
constexpr const char wrapper_text[] = R"lua(local mv = require "movri"
local function is_check(verdict)
  local word = string.lower(tostring(verdict))
  if word == "check" then return true end
  if word == "pass" or word == "drop" or word == "reject" then return false end
  return true
end
return function(hook, ctx)
  local ok, val = pcall(hook, ctx)
  if not ok or is_check(val) then
    mv.debug("Verdict is CHECK; gathering hook artifacts for VettD")
    return val, ok, ctx.exe_path, ctx.user
  end
  return val, ok, rawget(ctx, "exe_path"), rawget(ctx, "user")
end
)lua";

int tostring_protected(lua_State *L) {
  luaL_tolstring(L, 1, nullptr);
  return 1;
}

// The value at index of thread as tostring gives it, converted on L (the main state).
std::string text_of_value(lua_State *L, lua_State *thread, int index) {
  if (!lua_checkstack(L, 2) || !lua_checkstack(thread, 1)) return "Unexpected error";
  lua_pushcfunction(L, tostring_protected);
  lua_pushvalue(thread, index);
  lua_xmove(thread, L, 1);
  if (lua_pcall(L, 1, 1, 0) != LUA_OK) return mv::lua::error_text(L);
  size_t length = 0;
  const char *text = lua_tolstring(L, -1, &length);
  std::string result(text ? text : "", text ? length : 0);
  lua_pop(L, 1);
  return result;
}

} // namespace

void driver_t::install_wrapper(lua_State *L) {
  if (luaL_loadbuffer(L, wrapper_text, sizeof wrapper_text - 1, key::get_artifacts) != LUA_OK)
    throw std::runtime_error("Cannot compile the hook wrapper: " + mv::lua::error_text(L));
  if (lua_pcall(L, 0, 1, 0) != LUA_OK)
    throw std::runtime_error("Cannot run the hook wrapper: " + mv::lua::error_text(L));
  lua_setfield(L, LUA_REGISTRYINDEX, key::get_artifacts);
}

lua_State *driver_t::push_wrapper(lua_State *L) {
  if (!lua_checkstack(L, 2)) throw std::runtime_error("Cannot start session: Lua stack overflow");
  lua_getfield(L, LUA_REGISTRYINDEX, key::get_artifacts);
  return L;
}

driver_t::driver_t(boost::asio::io_context &io, lua_State *L, const connection_info_t &info, std::string id)
    : coroutine_t(push_wrapper(L), -1), io_(io), id_(std::move(id)) {
  lua_State *const main = main_state();
  push_context(main, info);
  context_ref_ = mv::lua::registry_ref_t(main);
  MV_LOG(Info, "Session " + id_ + ": started " + fw::net::to_string(info.src) + " -> " + fw::net::to_string(info.dst));
  if (!lua_checkstack(thread(), 2)) throw std::runtime_error("Cannot start session: Lua stack overflow");
  lua_xmove(L, thread(), 1); // the hook
  context_ref_.push(thread());
  resume(2);
}

driver_t::~driver_t() = default;

void driver_t::set_result_handler(result_handler_t handler) {
  handler_ = std::move(handler);
  deliver();
}

void driver_t::restore_logger() {
  if (saved_logger_) mv::lua::log::exchange(std::exchange(saved_logger_, nullptr));
}

void driver_t::on_coroutine_resume() {
  const auto previous = mv::lua::log::current();
  saved_logger_ = mv::lua::log::exchange(std::make_shared<const mv::lua::log::function_t>(
      [previous, id = id_](int level, const std::string &text) { (*previous)(level, "Session " + id + ": " + text); }));
}

void driver_t::on_coroutine_yield() { restore_logger(); }

void driver_t::on_coroutine_finish() {
  restore_logger();
  lua_State *const thread = this->thread();
  const int top = lua_gettop(thread);
  result_t result;
  if (top < 4) {
    result.outcome = std::make_exception_ptr(std::runtime_error("Unexpected hook results"));
    lua_settop(thread, 0);
    return complete(std::move(result));
  }

  // user (the fourth result), then exe_path (the third)
  const auto take = [&](int index, const char *field, std::optional<std::string> &out) {
    switch (lua_type(thread, index)) {
    case LUA_TSTRING: {
      size_t length = 0;
      const char *text = lua_tolstring(thread, index, &length);
      out.emplace(text, length);
      break;
    }
    case LUA_TNIL:
      break;
    default:
      MV_LOG(Warning, "Session " + id_ + ": Field \"" + field + "\" is not a string");
    }
  };
  take(top, "user", result.artifacts.user);
  take(top - 1, "exe_path", result.artifacts.exe_path);

  const int value = top - 3;
  if (!lua_toboolean(thread, top - 2)) {
    result.outcome = std::make_exception_ptr(std::runtime_error(text_of_value(main_state(), thread, value)));
  } else if (lua_type(thread, value) != LUA_TSTRING) {
    result.outcome = std::make_exception_ptr(std::runtime_error(mv::lua::type_mismatch("string", lua_type(thread, value))));
  } else {
    size_t length = 0;
    const char *text = lua_tolstring(thread, value, &length);
    std::string word(text, length);
    for (char &c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "check") result.outcome = verdict_t::check;
    else if (word == "pass") result.outcome = verdict_t::pass;
    else if (word == "drop") result.outcome = verdict_t::drop;
    else if (word == "reject") result.outcome = verdict_t::reject;
    else result.outcome = std::make_exception_ptr(std::runtime_error("incorrect return value: " + word));
  }
  lua_settop(thread, 0);
  complete(std::move(result));
}

void driver_t::on_coroutine_error() {
  restore_logger();
  lua_State *const thread = this->thread();
  result_t result;
  if (const std::exception_ptr *error = mv::lua::to_exception(thread, -1)) {
    result.outcome = *error;
    lua_pop(thread, 1);
  } else {
    result.outcome = std::make_exception_ptr(std::runtime_error(mv::lua::error_text(thread)));
  }
  complete(std::move(result));
}

void driver_t::complete(result_t result) {
  if (mv::log::enabled(mv::log::Info)) {
    lua_State *const main = main_state();
    std::string dump;
    if (lua_checkstack(main, 1)) {
      context_ref_.push(main);
      dump = dump_context(main, -1);
      lua_pop(main, 1);
    }
    if (const auto *verdict = std::get_if<verdict_t>(&result.outcome))
      mv::log::log(mv::log::Info, "Session " + id_ + ": " + log_word(*verdict) + " " + dump);
    else
      mv::log::log(mv::log::Info, "Session " + id_ + ": " +
                                      mv::util::describe_exception(std::get<std::exception_ptr>(result.outcome)) +
                                      ": " + dump);
  }
  result_ = std::move(result);
  deliver();
}

void driver_t::deliver() {
  if (!handler_ || !result_) return;
  // Posted, so that the handler never runs inside the Lua call chain; it runs even if the driver is
  // destroyed meanwhile.
  boost::asio::post(io_, [handler = std::exchange(handler_, nullptr), result = std::move(*result_)]() mutable {
    if (const auto *verdict = std::get_if<verdict_t>(&result.outcome))
      handler(nullptr, *verdict, std::move(result.artifacts));
    else
      handler(std::get<std::exception_ptr>(result.outcome), verdict_t::check, std::move(result.artifacts));
  });
  result_.reset();
}

} // namespace fw::lua::intercept
