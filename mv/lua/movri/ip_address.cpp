#include "mv/lua/movri/ip_address.hpp"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "mv/lua/movri/keys.hpp"
#include "mv/lua/movri/subnet.hpp"
#include "mv/lua/runtime.hpp"

namespace mv::lua::movri {

namespace {

const ip_address_t &check_ip_address(lua_State *L, int index) {
  return *static_cast<const ip_address_t *>(luaL_checkudata(L, index, key::ip_address_metatable));
}

int push_text(lua_State *L, const ip_address_t &address) {
  char text[ip_address_t::text_size];
  const std::size_t length = address.format(text);
  lua_pushlstring(L, text, length);
  return 1;
}

// Parses every subnet (kept in a Lua-owned array, so that an argument error leaves nothing behind), then
// tests them.
int belongs(lua_State *L) {
  const auto &address = *static_cast<const ip_address_t *>(lua_touserdata(L, lua_upvalueindex(1)));
  lua_Integer count = 1;
  switch (lua_type(L, 1)) {
  case LUA_TSTRING:
    break;
  case LUA_TTABLE:
    count = luaL_len(L, 1);
    for (lua_Integer i = 1; i <= count; ++i) {
      if (lua_geti(L, 1, i) != LUA_TSTRING)
        return luaL_argerror(L, 1, "all elements of subnet array must be strings");
      lua_pop(L, 1);
    }
    break;
  default:
    return luaL_argerror(L, 1, "must be string or array of strings");
  }
  if (count <= 0) {
    lua_pushboolean(L, 0);
    return 1;
  }
  if (static_cast<unsigned long long>(count) > (~std::size_t{0}) / sizeof(subnet_t))
    return luaL_error(L, "too many subnets");
  auto *subnets = static_cast<subnet_t *>(lua_newuserdata(L, static_cast<std::size_t>(count) * sizeof(subnet_t)));
  for (lua_Integer i = 0; i < count; ++i) {
    size_t length = 0;
    const char *text = nullptr;
    if (lua_type(L, 1) == LUA_TSTRING) {
      text = lua_tolstring(L, 1, &length);
      lua_pushvalue(L, 1);
    } else {
      lua_geti(L, 1, i + 1);
      // A metamethod may answer differently the second time.
      if (lua_type(L, -1) != LUA_TSTRING) return luaL_argerror(L, 1, "all elements of subnet array must be strings");
      text = lua_tolstring(L, -1, &length);
    }
    if (!subnet_t::parse(std::string_view(text, length), address.version, subnets[i]))
      return luaL_argerror(L, 1, lua_pushfstring(L, "Invalid subnet: %s", text));
    lua_pop(L, 1);
  }
  bool found = false;
  for (lua_Integer i = 0; i < count && !found; ++i) found = subnets[i].contains(address);
  lua_pushboolean(L, found);
  return 1;
}

int address_gc(lua_State *) { return 0; }

int address_index(lua_State *L) {
  check_ip_address(L, 1);
  const char *name = lua_type(L, 2) == LUA_TSTRING ? lua_tostring(L, 2) : nullptr;
  if (name && std::strcmp(name, "belongs") == 0 && lua_rawlen(L, 2) == 7) {
    lua_pushvalue(L, 1);
    lua_pushcclosure(L, belongs, 1);
  } else {
    lua_pushnil(L);
  }
  return 1;
}

int address_tostring(lua_State *L) { return push_text(L, check_ip_address(L, 1)); }

int address_concat(lua_State *L) {
  if (const ip_address_t *first = to_ip_address(L, 1)) {
    push_text(L, *first);
    return concat_text(L, 1);
  }
  push_text(L, check_ip_address(L, 2));
  return concat_text(L, 2);
}

int address_eq(lua_State *L) {
  const ip_address_t *a = to_ip_address(L, 1);
  const ip_address_t *b = to_ip_address(L, 2);
  lua_pushboolean(L, a && b && *a == *b);
  return 1;
}

int address_band(lua_State *L) {
  for (int i = 1; i <= 2; ++i)
    if (!to_ip_address(L, i)) {
      lua_pushstring(L, type_mismatch("IpAddress", lua_type(L, i)).c_str());
      return lua_error(L);
    }
  const ip_address_t a = *to_ip_address(L, 1);
  const ip_address_t b = *to_ip_address(L, 2);
  if (a.version != b.version) return luaL_error(L, "Cannot mask ip addresses with different ip versions");
  ip_address_t result;
  result.version = a.version;
  result.ipv4 = a.ipv4 & b.ipv4;
  for (std::size_t i = 0; i < result.ipv6.size(); ++i) result.ipv6[i] = a.ipv6[i] & b.ipv6[i];
  result.scope_id = 0;
  push_ip_address(L, result);
  return 1;
}

} // namespace

ip_address_t ip_address_t::from(const boost::asio::ip::address &address) noexcept {
  ip_address_t result;
  if (address.is_v4()) {
    result.version = v4;
    result.ipv4 = address.to_v4().to_uint();
  } else {
    const auto v6address = address.to_v6();
    result.version = v6;
    result.ipv6 = v6address.to_bytes();
    result.scope_id = static_cast<std::uint32_t>(v6address.scope_id());
  }
  return result;
}

boost::asio::ip::address ip_address_t::to_address() const {
  if (version == v4) return boost::asio::ip::address_v4(ipv4);
  return boost::asio::ip::address_v6(ipv6, scope_id);
}

std::size_t ip_address_t::format(char (&text)[text_size]) const noexcept {
  text[0] = '\0';
  if (version == v4) {
    const std::uint32_t network = htonl(ipv4);
    inet_ntop(AF_INET, &network, text, text_size);
    return std::strlen(text);
  }
  inet_ntop(AF_INET6, ipv6.data(), text, text_size);
  std::size_t length = std::strlen(text);
  if (scope_id != 0)
    length += static_cast<std::size_t>(
        std::snprintf(text + length, text_size - length, "%%%lu", static_cast<unsigned long>(scope_id)));
  return length;
}

std::string ip_address_t::to_string() const {
  char text[text_size];
  return std::string(text, format(text));
}

bool operator==(const ip_address_t &a, const ip_address_t &b) noexcept {
  if (a.version != b.version) return false;
  if (a.version == ip_address_t::v4) return a.ipv4 == b.ipv4;
  return a.ipv6 == b.ipv6 && a.scope_id == b.scope_id;
}

void ip_address_t::register_metatable(lua_State *L) {
  static const luaL_Reg methods[] = {{"__gc", address_gc},         {"__index", address_index},
                                     {"__tostring", address_tostring}, {"__concat", address_concat},
                                     {"__eq", address_eq},         {"__band", address_band},
                                     {nullptr, nullptr}};
  luaL_newmetatable(L, key::ip_address_metatable);
  luaL_setfuncs(L, methods, 0);
  lua_pop(L, 1);
}

void push_ip_address(lua_State *L, const ip_address_t &address) {
  void *memory = lua_newuserdata(L, sizeof(ip_address_t));
  std::memcpy(memory, &address, sizeof address);
  luaL_setmetatable(L, key::ip_address_metatable);
}

void push_ip_address(lua_State *L, const boost::asio::ip::address &address) {
  push_ip_address(L, ip_address_t::from(address));
}

const ip_address_t *to_ip_address(lua_State *L, int index) noexcept {
  return static_cast<const ip_address_t *>(luaL_testudata(L, index, key::ip_address_metatable));
}

int concat_text(lua_State *L, int self) {
  if (self == 2) {
    lua_pushvalue(L, 1);
    lua_insert(L, -2);
    lua_concat(L, 2);
    return 1;
  }
  if (luaL_getmetafield(L, 2, "__concat") != LUA_TNIL) {
    lua_pushvalue(L, -2);
    lua_pushvalue(L, 2);
    lua_call(L, 2, 1);
    return 1;
  }
  lua_pushvalue(L, 2);
  lua_concat(L, 2);
  return 1;
}

int ip(lua_State *L) {
  if (lua_gettop(L) != 1) return luaL_error(L, "Cannot create IpAddress: bad arguments");
  if (lua_type(L, 1) != LUA_TSTRING) return luaL_error(L, "Cannot create IpAddress from %s", type_name(lua_type(L, 1)));
  const char *text = lua_tostring(L, 1);
  boost::system::error_code error;
  const boost::asio::ip::address address = boost::asio::ip::make_address(text, error);
  if (error) {
    lua_pushstring(L, error.message().c_str());
    return luaL_error(L, "Cannot create IpAddress from \"%s\": %s", text, lua_tostring(L, -1));
  }
  push_ip_address(L, address);
  return 1;
}

} // namespace mv::lua::movri
