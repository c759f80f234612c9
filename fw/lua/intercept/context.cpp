#include "fw/lua/intercept/context.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/system/system_error.hpp>

#include "fw/lua/intercept/interfaces.hpp"
#include "fw/net/endpoint.hpp"
#include "fw/util/scoped_fd.hpp"
#include "fw/util/tristate.hpp"
#include "mv/log/log.hpp"
#include "mv/lua/coroutine.hpp"
#include "mv/lua/log.hpp"
#include "mv/lua/movri/tcp_endpoint.hpp"
#include "mv/lua/native.hpp"
#include "mv/lua/runtime.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::lua::intercept {

namespace {

using endpoint_t = boost::asio::ip::tcp::endpoint;
using fw::util::tristate;

struct context_t {
  endpoint_t src;
  endpoint_t dst;
  std::string divert;
  std::optional<std::uint32_t> iface_in_index;
  std::optional<std::uint32_t> iface_out_index;
  tristate<std::int32_t> pid;
  tristate<std::string> exe_path;
  tristate<std::uint32_t> uid;
  tristate<std::uint32_t> gid;
  tristate<std::string> user;
  tristate<std::string> group;
  tristate<std::string> iface_in;
  tristate<std::string> iface_out;
  // The reads waiting for the PID lookup in flight (each bound to its coroutine's liveness); empty when
  // none is in flight. Concurrent reads in one session share one lookup.
  std::vector<std::function<void(std::exception_ptr, int)>> pid_waiters;
};
using context_ptr = std::shared_ptr<context_t>;

enum class field_t : int { src, dst, divert, pid, exe_path, uid, gid, user, group, iface_in, iface_out, none };

constexpr const char *field_names[] = {"src", "dst",  "divert", "pid",      "exe_path", "uid",
                                       "gid", "user", "group",  "iface_in", "iface_out"};

const char *name_of(field_t field) noexcept { return field_names[static_cast<int>(field)]; }

field_t field_of(const char *name, std::size_t length) noexcept {
  const std::string_view key(name, length);
  for (int i = 0; i < static_cast<int>(field_t::none); ++i)
    if (key == field_names[i]) return static_cast<field_t>(i);
  return field_t::none;
}

// ---- lookups (C++ only; failures are logged and leave the field none) ----

// The fourth number after "Uid:" or "Gid:" at the start of a line of /proc/<pid>/status: the
// file-system id after the real, effective and saved ones.
std::optional<std::uint32_t> fs_id(std::string_view status, std::string_view label) {
  std::size_t at = 0;
  for (;;) {
    at = status.find(label, at);
    if (at == std::string_view::npos) return std::nullopt;
    if (at == 0 || status[at - 1] == '\n') break;
    at += label.size();
  }
  at += label.size();
  std::uint64_t value = 0;
  for (int i = 0; i < 4; ++i) {
    if (at >= status.size() || status[at] != '\t') return std::nullopt;
    while (at < status.size() && status[at] == '\t') ++at;
    const std::size_t start = at;
    value = 0;
    while (at < status.size() && status[at] >= '0' && status[at] <= '9') {
      value = value * 10 + static_cast<unsigned>(status[at] - '0');
      if (value > 0xFFFFFFFFu) return std::nullopt;
      ++at;
    }
    if (at == start) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::string read_file(const std::string &path) {
  fw::util::scoped_fd_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw std::runtime_error("Cannot open " + path + ": " + std::strerror(errno));
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("Cannot read " + path + ": " + std::strerror(errno));
    }
    if (n == 0) return content;
    content.append(buffer, static_cast<std::size_t>(n));
  }
}

// Fills uid and gid (those not known yet) from /proc/<pid>/status, or makes them none.
void resolve_ids(context_t &c) {
  const auto set_none = [&] {
    if (c.uid.undefined()) c.uid.set_none();
    if (c.gid.undefined()) c.gid.set_none();
  };
  if (!c.pid.has_value()) return set_none();
  const std::string pid = std::to_string(c.pid.value());
  const std::string path = "/proc/" + pid + "/status";
  try {
    const std::string status = read_file(path);
    const auto uid = fs_id(status, "Uid:");
    const auto gid = fs_id(status, "Gid:");
    if (!uid || !gid) throw std::runtime_error("Cannot parse " + path + ": no fsuid/fsgid found");
    MV_LUA_LOG(Debug, "Originator uid=" + std::to_string(*uid) + " gid=" + std::to_string(*gid));
    if (c.uid.undefined()) c.uid.set(*uid);
    if (c.gid.undefined()) c.gid.set(*gid);
  } catch (const std::exception &e) {
    MV_LUA_LOG(Warning, "Cannot get status of process " + pid + ": " + mv::util::exception_message(e));
    set_none();
  }
}

// Names found in the databases, kept for a few seconds: a busy host opens many connections as the same
// few users, and every database call reads nsswitch.conf and the whole passwd or group file. Only
// names found are kept; an entry that is missing is asked for again.
class name_cache_t {
public:
  static constexpr auto lifetime = std::chrono::seconds(5);
  static constexpr std::size_t capacity = 1024;

  const std::string *find(bool user, std::uint32_t id, std::chrono::steady_clock::time_point now) const {
    const auto found = names_.find(key(user, id));
    if (found == names_.end() || now - found->second.stored >= lifetime) return nullptr;
    return &found->second.name;
  }
  void store(bool user, std::uint32_t id, const std::string &name, std::chrono::steady_clock::time_point now) {
    if (names_.size() >= capacity) names_.clear();
    names_[key(user, id)] = {name, now};
  }

private:
  struct entry_t {
    std::string name;
    std::chrono::steady_clock::time_point stored;
  };
  static std::uint64_t key(bool user, std::uint32_t id) { return (std::uint64_t{user} << 32) | id; }
  std::unordered_map<std::uint64_t, entry_t> names_;
};

std::optional<std::string> database_lookup(bool user, std::uint32_t id);

// The name of a user or group: from the cache, or through the re-entrant database calls.
std::optional<std::string> database_name(bool user, std::uint32_t id) {
  thread_local name_cache_t cache;
  const auto now = std::chrono::steady_clock::now();
  if (const std::string *name = cache.find(user, id, now)) {
    MV_LUA_LOG(Debug, std::string("Originator ") + (user ? "user" : "group") + " name is " + mv::log::escape(*name));
    return *name;
  }
  auto name = database_lookup(user, id);
  if (name) cache.store(user, id, *name, now);
  return name;
}

// The database calls, with a per-thread buffer that grows while the entry does not fit.
std::optional<std::string> database_lookup(bool user, std::uint32_t id) {
  const char *what = user ? "user" : "group";
  thread_local std::vector<char> buffer(1024);
  for (;;) {
    int error;
    const char *name = nullptr;
    if (user) {
      passwd entry;
      passwd *found = nullptr;
      error = ::getpwuid_r(id, &entry, buffer.data(), buffer.size(), &found);
      if (error == 0 && found) name = entry.pw_name;
    } else {
      group entry;
      group *found = nullptr;
      error = ::getgrgid_r(id, &entry, buffer.data(), buffer.size(), &found);
      if (error == 0 && found) name = entry.gr_name;
    }
    if (error == ERANGE && buffer.size() <= 16777215) {
      buffer.resize(buffer.size() * 4);
      continue;
    }
    if (error != 0) {
      MV_LUA_LOG(Warning, std::string("Cannot get ") + what + " entry: " + std::strerror(error));
      return std::nullopt;
    }
    if (!name) {
      MV_LUA_LOG(Warning, std::string("No ") + what + " entry found for " + (user ? "uid " : "gid ") + std::to_string(id));
      return std::nullopt;
    }
    MV_LUA_LOG(Debug, std::string("Originator ") + what + " name is " + mv::log::escape(name));
    return std::string(name);
  }
}

void resolve_name(context_t &c, bool user) {
  auto &name = user ? c.user : c.group;
  const auto &id = user ? c.uid : c.gid;
  if (!name.undefined()) return;
  if (!id.has_value()) return name.set_none();
  if (auto found = database_name(user, id.value())) name.set(std::move(*found));
  else name.set_none();
}

void resolve_exe_path(context_t &c) {
  if (!c.exe_path.undefined()) return;
  if (!c.pid.has_value()) return c.exe_path.set_none();
  const std::string pid = std::to_string(c.pid.value());
  try {
    const std::string link = "/proc/" + pid + "/exe";
    std::vector<char> target(256);
    for (;;) {
      const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
      if (n < 0)
        throw boost::system::system_error(boost::system::error_code(errno, boost::system::system_category()),
                                          "readlink");
      if (static_cast<std::size_t>(n) < target.size()) {
        std::string path(target.data(), static_cast<std::size_t>(n));
        MV_LUA_LOG(Debug, "Originator exe_path is " + mv::log::escape(path));
        c.exe_path.set(std::move(path));
        return;
      }
      target.resize(target.size() * 4);
    }
  } catch (const std::exception &e) {
    MV_LUA_LOG(Warning, "Cannot get exe path for pid " + pid + ": " + mv::util::exception_message(e));
    c.exe_path.set_none();
  }
}

void resolve_interface(context_t &c, bool in) {
  auto &name = in ? c.iface_in : c.iface_out;
  const auto &index = in ? c.iface_in_index : c.iface_out_index;
  const std::string key = in ? "iface_in" : "iface_out";
  MV_LUA_LOG(Debug, "Attempting to get " + key);
  if (!index) {
    MV_LUA_LOG(Info, "Cannot get " + key + ": no interface index provided");
    return name.set_none();
  }
  try {
    for (auto &[interface, interface_index] : list_interfaces()) {
      if (interface_index != *index) continue;
      MV_LUA_LOG(Debug, key + " is " + mv::log::escape(interface));
      return name.set(interface);
    }
    MV_LUA_LOG(Warning, "No interface found for index " + std::to_string(*index));
  } catch (const std::exception &e) {
    MV_LUA_LOG(Warning, "Cannot get interface info: " + mv::util::exception_message(e));
  }
  name.set_none();
}

bool known(const context_t &c, field_t field) {
  switch (field) {
  case field_t::pid:
    return !c.pid.undefined();
  case field_t::exe_path:
    return !c.exe_path.undefined();
  case field_t::uid:
    return !c.uid.undefined();
  case field_t::gid:
    return !c.gid.undefined();
  case field_t::user:
    return !c.user.undefined();
  case field_t::group:
    return !c.group.undefined();
  case field_t::iface_in:
    return !c.iface_in.undefined();
  case field_t::iface_out:
    return !c.iface_out.undefined();
  default:
    return true;
  }
}

// Logs the steps about to run for an originator field not known yet; true when they need the PID,
// which is not known yet either.
bool announce(const context_t &c, field_t field) {
  switch (field) {
  case field_t::pid:
    break;
  case field_t::exe_path:
    MV_LUA_LOG(Debug, "Attempting to get originator exe path");
    break;
  case field_t::user:
  case field_t::group: {
    const bool user = field == field_t::user;
    MV_LUA_LOG(Debug, std::string("Attempting to retrieve originator ") + (user ? "user" : "group") + " name");
    if (!(user ? c.uid : c.gid).undefined()) return false;
    MV_LUA_LOG(Debug, "Attempting to retrieve originator uid/gid via /proc filesystem");
    break;
  }
  case field_t::uid:
  case field_t::gid:
    MV_LUA_LOG(Debug, "Attempting to retrieve originator uid/gid via /proc filesystem");
    break;
  default:
    return false;
  }
  if (!c.pid.undefined()) return false;
  if (c.pid_waiters.empty())
    MV_LUA_LOG(Debug, "Getting originator PID for connection " + fw::net::to_string(c.src) + " --> " +
                          fw::net::to_string(c.dst));
  return true;
}

// Runs the remaining (synchronous) steps for a field once the PID is known or not needed.
void resolve(context_t &c, field_t field) {
  switch (field) {
  case field_t::pid:
    if (c.pid.undefined()) c.pid.set_none();
    break;
  case field_t::uid:
  case field_t::gid:
    resolve_ids(c);
    break;
  case field_t::user:
  case field_t::group: {
    // The id that came with the packet needs no look-up in /proc.
    const bool user = field == field_t::user;
    if ((user ? c.uid : c.gid).undefined()) resolve_ids(c);
    resolve_name(c, user);
    break;
  }
  case field_t::exe_path:
    resolve_exe_path(c);
    break;
  case field_t::iface_in:
  case field_t::iface_out:
    resolve_interface(c, field == field_t::iface_in);
    break;
  default:
    break;
  }
}

// ---- the Lua side (no C++ object with a destructor is alive where a Lua error or yield may leave) ----

context_t *context_of(lua_State *L) {
  auto *holder = static_cast<context_ptr *>(lua_touserdata(L, lua_upvalueindex(1)));
  return holder ? holder->get() : nullptr;
}

void push_string(lua_State *L, const tristate<std::string> &value) {
  if (value.has_value()) lua_pushlstring(L, value.value().data(), value.value().size());
  else lua_pushnil(L);
}

template <class T> void push_integer(lua_State *L, const tristate<T> &value) {
  if (value.has_value()) lua_pushinteger(L, static_cast<lua_Integer>(value.value()));
  else lua_pushnil(L);
}

void push_value(lua_State *L, const context_t &c, field_t field) {
  switch (field) {
  case field_t::src:
    return mv::lua::movri::push_tcp_endpoint(L, c.src);
  case field_t::dst:
    return mv::lua::movri::push_tcp_endpoint(L, c.dst);
  case field_t::divert:
    return static_cast<void>(lua_pushlstring(L, c.divert.data(), c.divert.size()));
  case field_t::pid:
    return push_integer(L, c.pid);
  case field_t::uid:
    return push_integer(L, c.uid);
  case field_t::gid:
    return push_integer(L, c.gid);
  case field_t::exe_path:
    return push_string(L, c.exe_path);
  case field_t::user:
    return push_string(L, c.user);
  case field_t::group:
    return push_string(L, c.group);
  case field_t::iface_in:
    return push_string(L, c.iface_in);
  case field_t::iface_out:
    return push_string(L, c.iface_out);
  case field_t::none:
    break;
  }
  lua_pushnil(L);
}

// The PID, uid and gid among the fields not known yet: those that a read may find on the way.
int unknown_steps(const context_t &c) noexcept {
  int steps = 0;
  for (field_t step : {field_t::pid, field_t::uid, field_t::gid})
    if (!known(c, step)) steps |= 1 << static_cast<int>(step);
  return steps;
}

// Pushes the field's value (nil for none) and stores a value into the context (index 1) with a raw set.
// The PID and the ids that this read found on the way (steps: those unknown when it began) are stored
// too, where the table holds nothing under their names (a value the hook assigned stays); ids that the
// kernel reported appear only once read themselves.
int publish(lua_State *L, const context_t &c, field_t field, int steps = 0) {
  for (field_t step : {field_t::pid, field_t::uid, field_t::gid}) {
    if (step == field || !(steps & 1 << static_cast<int>(step)) || !known(c, step)) continue;
    lua_pushstring(L, name_of(step));
    lua_rawget(L, 1);
    const bool absent = lua_isnil(L, -1);
    lua_pop(L, 1);
    if (!absent) continue;
    push_value(L, c, step);
    if (lua_isnil(L, -1)) {
      lua_pop(L, 1);
      continue;
    }
    lua_pushstring(L, name_of(step));
    lua_insert(L, -2);
    lua_rawset(L, 1);
  }
  push_value(L, c, field);
  if (!lua_isnil(L, -1)) {
    lua_pushstring(L, name_of(field));
    lua_pushvalue(L, -2);
    lua_rawset(L, 1);
  }
  return 1;
}

context_t &checked_context(lua_State *L) {
  context_t *c = context_of(L);
  if (!c) luaL_error(L, "Context is no longer available");
  return *c;
}

int finish(lua_State *L, context_t &c, field_t field, int steps) {
  mv::lua::guarded(L, [&] {
    resolve(c, field);
    return 0;
  });
  return publish(L, c, field, steps);
}

// The continuation's context: the field read and the steps unknown when the read began.
constexpr int steps_shift = 8;

// Runs when the PID lookup resumes the thread: on top of [context, key] the PID or exception userdata.
// Every read that waited for the lookup gets the answer; the first one records it.
int pid_continue(lua_State *L, int, lua_KContext k) {
  const auto field = static_cast<field_t>(k & ((1 << steps_shift) - 1));
  const int steps = static_cast<int>(k >> steps_shift);
  context_t &c = checked_context(L);
  mv::lua::guarded(L, [&] {
    if (!c.pid.undefined()) return 0;
    const std::exception_ptr *error = lua_gettop(L) >= 3 ? mv::lua::to_exception(L, 3) : nullptr;
    if (error) {
      MV_LUA_LOG(Info, "Cannot get pid: " + mv::util::describe_exception(*error));
      c.pid.set_none();
    } else if (lua_gettop(L) >= 3 && lua_isinteger(L, 3)) {
      const auto pid = static_cast<std::int32_t>(lua_tointeger(L, 3));
      MV_LUA_LOG(Debug, "Originator PID is " + std::to_string(pid));
      c.pid.set(pid);
    } else {
      c.pid.set_none();
    }
    return 0;
  });
  lua_settop(L, 2);
  return finish(L, c, field, steps);
}

// Hands the answer of the PID lookup to every read that waits for it (each does nothing once its
// coroutine is gone).
void deliver_pid(const std::weak_ptr<context_t> &context, std::exception_ptr error, int pid) {
  const context_ptr c = context.lock();
  if (!c) return;
  auto waiters = std::move(c->pid_waiters);
  c->pid_waiters.clear();
  for (auto &waiter : waiters) waiter(error, pid);
}

int context_index(lua_State *L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  context_t &c = checked_context(L);
  if (lua_type(L, 2) != LUA_TSTRING) {
    lua_pushnil(L);
    return 1;
  }
  size_t length = 0;
  const char *name = lua_tolstring(L, 2, &length);
  const field_t field = field_of(name, length);
  lua_settop(L, 2);
  switch (field) {
  case field_t::none:
    lua_pushnil(L);
    return 1;
  case field_t::src:
  case field_t::dst:
  case field_t::divert:
    return publish(L, c, field);
  case field_t::iface_in:
  case field_t::iface_out:
    if (known(c, field)) return publish(L, c, field);
    return finish(L, c, field, 0);
  default:
    break;
  }
  if (known(c, field)) return publish(L, c, field);

  const int steps = unknown_steps(c);
  bool need_pid = false;
  mv::lua::guarded(L, [&] {
    need_pid = announce(c, field);
    return 0;
  });
  if (!need_pid) return finish(L, c, field, steps);

  mv::lua::coroutine_t *const co = mv::lua::coroutine_t::running(L);
  lua_getfield(L, LUA_REGISTRYINDEX, key::process_finder);
  auto *finder = static_cast<process_finder_t *>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  if (!finder) return luaL_error(L, "No process finder");
  const auto *holder = static_cast<const context_ptr *>(lua_touserdata(L, lua_upvalueindex(1)));
  mv::lua::guarded(L, [&] {
    const bool first = c.pid_waiters.empty();
    c.pid_waiters.push_back(co->wrap([co](std::exception_ptr error, int pid) {
      lua_State *thread = co->thread();
      if (!lua_checkstack(thread, 1)) return co->resume(0); // read as "no PID"
      if (error) mv::lua::push_exception(thread, std::move(error));
      else lua_pushinteger(thread, pid);
      co->resume(1);
    }));
    if (!first) return 0;
    try {
      finder->get_pid(c.src, c.dst, [context = std::weak_ptr<context_t>(*holder)](std::exception_ptr error, int pid) {
        deliver_pid(context, std::move(error), pid);
      });
    } catch (...) {
      c.pid_waiters.clear(); // no lookup in flight
      throw;
    }
    return 0;
  });
  return mv::lua::coroutine_t::yield(L, pid_continue,
                                     static_cast<lua_KContext>(static_cast<int>(field) | steps << steps_shift));
}

int shared_ptr_gc(lua_State *L) {
  // Releases rather than destroys: hook code that reaches the userdata and calls __gc itself cannot
  // release the context twice (its getters then raise an error instead).
  if (auto *holder = static_cast<context_ptr *>(lua_touserdata(L, 1))) holder->reset();
  return 0;
}

int install_protected(lua_State *L) {
  lua_pushvalue(L, 1);
  lua_setfield(L, LUA_REGISTRYINDEX, key::process_finder);
  for (const char *name : {key::shared_ptr_metatable, key::tcp_endpoint_metatable}) {
    luaL_newmetatable(L, name);
    lua_pushcfunction(L, shared_ptr_gc);
    lua_setfield(L, -2, "__gc");
    lua_pop(L, 1);
  }
  return 0;
}

int build_context(lua_State *L) {
  const auto *info = static_cast<const connection_info_t *>(lua_touserdata(L, 1));
  lua_createtable(L, 0, 12); // 2: the context, its own metatable
  lua_pushvalue(L, 2);
  lua_setmetatable(L, 2);
  lua_pushliteral(L, "__index");
  void *memory = lua_newuserdata(L, sizeof(context_ptr));
  mv::lua::guarded(L, [&] {
    auto c = std::make_shared<context_t>();
    c->src = info->src;
    c->dst = info->dst;
    c->divert = info->divert;
    c->iface_in_index = info->iface_in;
    c->iface_out_index = info->iface_out;
    if (info->uid) c->uid.set(*info->uid);
    if (info->gid) c->gid.set(*info->gid);
    new (memory) context_ptr(std::move(c));
    return 0;
  });
  luaL_setmetatable(L, key::shared_ptr_metatable);
  lua_pushcclosure(L, context_index, 1);
  lua_rawset(L, 2);
  lua_settop(L, 2);
  return 1;
}

int dump_one(lua_State *L) {
  lua_settop(L, 2);
  lua_rawget(L, 1);
  if (lua_isnil(L, -1)) return 1;
  if (lua_isinteger(L, -1)) {
    lua_pushfstring(L, "%I", static_cast<LUAI_UACINT>(lua_tointeger(L, -1)));
    return 1;
  }
  luaL_tolstring(L, -1, nullptr);
  return 1;
}

} // namespace

void install_context(lua_State *L, process_finder_t *finder) {
  lua_pushcfunction(L, install_protected);
  lua_pushlightuserdata(L, finder);
  if (lua_pcall(L, 1, 0, 0) != LUA_OK)
    throw std::runtime_error("Cannot register the intercept context: " + mv::lua::error_text(L));
}

void push_context(lua_State *L, const connection_info_t &info) {
  lua_pushcfunction(L, build_context);
  lua_pushlightuserdata(L, const_cast<connection_info_t *>(&info));
  if (lua_pcall(L, 1, 1, 0) != LUA_OK) throw std::runtime_error("Cannot create context: " + mv::lua::error_text(L));
}

std::string dump_context(lua_State *L, int index) {
  index = lua_absindex(L, index);
  std::string dump;
  if (!lua_checkstack(L, 4)) return dump;
  for (const char *name :
       {"src", "dst", "divert", "uid", "gid", "user", "group", "iface_in", "iface_out", "pid", "exe_path"}) {
    lua_pushcfunction(L, dump_one);
    lua_pushvalue(L, index);
    lua_pushstring(L, name);
    if (lua_pcall(L, 2, 1, 0) == LUA_OK && lua_type(L, -1) == LUA_TSTRING) {
      size_t length = 0;
      const char *text = lua_tolstring(L, -1, &length);
      if (!dump.empty()) dump += ' ';
      dump.append(name).append("=").append(mv::log::escape(std::string_view(text, length)));
    }
    lua_pop(L, 1);
  }
  return dump;
}

} // namespace fw::lua::intercept
