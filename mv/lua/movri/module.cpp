#include "mv/lua/movri/module.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "mv/log/log.hpp"
#include "mv/lua/coroutine.hpp"
#include "mv/lua/log.hpp"
#include "mv/lua/movri/future.hpp"
#include "mv/lua/movri/ip_address.hpp"
#include "mv/lua/movri/keys.hpp"
#include "mv/lua/movri/tcp_endpoint.hpp"
#include "mv/lua/native.hpp"
#include "mv/lua/runtime.hpp"

namespace mv::lua::movri {

namespace {

// ---- log ----

int log_message(lua_State *L, int level, int arg) {
  luaL_checkany(L, arg);
  size_t length = 0;
  const char *text = luaL_tolstring(L, arg, &length);
  if (!log::enabled(level)) return 0;
  return guarded(L, [&] {
    log::log(level, "Lua: " + std::string(text, length));
    return 0;
  });
}

template <int Level> int log_at(lua_State *L) { return log_message(L, Level, 1); }

int log_named(lua_State *L) {
  static const char *const names[] = {"debug", "info", "notice", "warning", "error"};
  size_t length = 0;
  const char *name = luaL_checklstring(L, 1, &length);
  char lower[8];
  int level = -1;
  if (length < sizeof lower) {
    for (size_t i = 0; i < length; ++i) lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    lower[length] = '\0';
    for (int i = 0; i < 5; ++i)
      if (std::strlen(names[i]) == length && std::strcmp(names[i], lower) == 0) level = i;
  }
  if (level < 0) return luaL_argerror(L, 1, lua_pushfstring(L, "invalid log level '%s'", name));
  return log_message(L, level, 2);
}

// ---- load_set / load_array ----

std::string system_message(int error) { return std::system_category().message(error); }

std::string read_list_file(const char *path) {
  int fd;
  do fd = ::open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) throw error_t(std::string("Cannot open ") + path + ": " + system_message(errno), false);
  std::string content;
  char block[8192];
  for (;;) {
    ssize_t n;
    do n = ::read(fd, block, sizeof block);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw error_t(std::string("Cannot read ") + path + ": " + system_message(error), false);
    }
    if (n == 0) break;
    try {
      content.append(block, static_cast<std::size_t>(n));
    } catch (...) {
      ::close(fd);
      throw;
    }
  }
  ::close(fd);
  return content;
}

bool blank(const char *begin, const char *end) {
  for (; begin != end; ++begin)
    if (!std::isspace(static_cast<unsigned char>(*begin))) return false;
  return true;
}

// Reads the file into a Lua string on the stack, then adds its non-blank lines to a new table.
int load_lines(lua_State *L, bool as_set) {
  const char *path = luaL_checkstring(L, 1);
  guarded(L, [&] {
    const std::string content = read_list_file(path);
    lua_pushlstring(L, content.data(), content.size());
    return 0;
  });
  size_t size = 0;
  const char *data = lua_tolstring(L, -1, &size);
  const char *const end = data + size;
  lua_newtable(L);
  lua_Integer index = 0;
  for (const char *line = data; line <= end;) {
    const char *stop = static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
    if (!stop) stop = end;
    if (!blank(line, stop)) {
      lua_pushlstring(L, line, static_cast<std::size_t>(stop - line));
      if (as_set) {
        lua_pushboolean(L, 1);
        lua_rawset(L, -3);
      } else {
        lua_rawseti(L, -2, ++index);
      }
    }
    line = stop + 1;
  }
  return 1;
}

int load_set(lua_State *L) { return load_lines(L, true); }
int load_array(lua_State *L) { return load_lines(L, false); }

// ---- sleep ----

using timer_ptr = std::shared_ptr<boost::asio::steady_timer>;

int timer_gc(lua_State *L) {
  // Releases rather than destroys, so a second call is harmless.
  static_cast<timer_ptr *>(luaL_checkudata(L, 1, key::steady_timer_ptr_metatable))->reset();
  return 0;
}

std::int64_t saturated_nanoseconds(lua_Number seconds) noexcept {
  const long double nanoseconds = static_cast<long double>(seconds) * 1e9L;
  if (std::isnan(nanoseconds)) return 0;
  if (nanoseconds >= 9223372036854775807.0L) return INT64_MAX;
  if (nanoseconds <= -9223372036854775808.0L) return INT64_MIN;
  return static_cast<std::int64_t>(nanoseconds);
}

int sleep_continue(lua_State *, int, lua_KContext) { return 0; }

int sleep(lua_State *L) {
  const lua_Number seconds = luaL_checknumber(L, 1);
  coroutine_t *const coroutine = coroutine_t::running(L);
  lua_getfield(L, LUA_REGISTRYINDEX, key::io_service);
  auto *io = static_cast<boost::asio::io_context *>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  if (!io) return luaL_error(L, "No event loop");

  // The timer lives in a userdata that a registry reference holds until the wait completes.
  auto *slot = static_cast<timer_ptr *>(lua_newuserdata(L, sizeof(timer_ptr)));
  new (slot) timer_ptr();
  luaL_setmetatable(L, key::steady_timer_ptr_metatable);
  lua_pushvalue(L, -1);
  const int ref = luaL_ref(L, LUA_REGISTRYINDEX);
  lua_State *const main = coroutine->main_state();

  guarded(L, [&] {
    try {
      *slot = std::make_shared<boost::asio::steady_timer>(*io);
      (*slot)->expires_after(std::chrono::nanoseconds(saturated_nanoseconds(seconds)));
      auto resume = coroutine->wrap([coroutine](const boost::system::error_code &error) {
        if (error) throw boost::system::system_error(error, "Sleep timer");
        coroutine->resume(0);
      });
      (*slot)->async_wait([timer = std::weak_ptr(*slot), main, ref,
                           resume = std::move(resume)](const boost::system::error_code &error) mutable {
        // A closed state took the timer with it.
        if (timer.lock()) luaL_unref(main, LUA_REGISTRYINDEX, ref);
        resume(error);
      });
      coroutine->set_pending_cancel([timer = std::weak_ptr(*slot)] {
        if (const auto t = timer.lock()) t->cancel();
      });
    } catch (...) {
      luaL_unref(L, LUA_REGISTRYINDEX, ref);
      throw;
    }
    return 0;
  });
  return coroutine_t::yield(L, sleep_continue);
}

// ---- registration ----

int register_types_protected(lua_State *L) {
  lua_pushvalue(L, 1);
  lua_setfield(L, LUA_REGISTRYINDEX, key::io_service);
  future_t::register_metatable(L);
  ip_address_t::register_metatable(L);
  tcp_endpoint_t::register_metatable(L);
  luaL_newmetatable(L, key::steady_timer_ptr_metatable);
  lua_pushcfunction(L, timer_gc);
  lua_setfield(L, -2, "__gc");
  lua_pop(L, 1);
  return 0;
}

int open_module(lua_State *L) {
  static const luaL_Reg functions[] = {{"log", log_named},
                                       {"debug", log_at<mv::log::Debug>},
                                       {"info", log_at<mv::log::Info>},
                                       {"notice", log_at<mv::log::Notice>},
                                       {"warning", log_at<mv::log::Warning>},
                                       {"error", log_at<mv::log::Error>},
                                       {"load_set", load_set},
                                       {"load_array", load_array},
                                       {"sleep", sleep},
                                       {"async", future_t::async},
                                       {"ip", ip},
                                       {nullptr, nullptr}};
  luaL_newlib(L, functions);
  if (make_const(L) != LUA_OK) return lua_error(L);
  return 1;
}

int register_module_protected(lua_State *L) {
  luaL_requiref(L, "movri", open_module, 0);
  return 0;
}

void call_protected(lua_State *L, lua_CFunction function, void *argument, const char *what) {
  lua_pushcfunction(L, function);
  lua_pushlightuserdata(L, argument);
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) throw std::runtime_error(std::string(what) + error_text(L));
}

} // namespace

void register_types(lua_State *L, boost::asio::io_context &io) {
  call_protected(L, register_types_protected, &io, "Cannot register the types of module movri: ");
}

void register_module(lua_State *L) {
  call_protected(L, register_module_protected, nullptr, "Cannot register module movri: ");
}

} // namespace mv::lua::movri
