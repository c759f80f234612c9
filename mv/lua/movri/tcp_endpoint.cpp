#include "mv/lua/movri/tcp_endpoint.hpp"

#include <cstring>

#include "mv/lua/movri/ip_address.hpp"
#include "mv/lua/movri/keys.hpp"

namespace mv::lua::movri {

namespace {

tcp_endpoint_t &check_endpoint(lua_State *L, int index) {
  return *static_cast<tcp_endpoint_t *>(luaL_checkudata(L, index, key::tcp_endpoint_metatable));
}

int push_text(lua_State *L, const tcp_endpoint_t &endpoint) {
  lua_rawgeti(L, LUA_REGISTRYINDEX, endpoint.address_ref);
  const ip_address_t *address = to_ip_address(L, -1);
  char text[ip_address_t::text_size];
  if (address)
    address->format(text);
  else
    text[0] = '\0';
  if (address && address->version == ip_address_t::v6)
    lua_pushfstring(L, "[%s]:%d", text, static_cast<int>(endpoint.port));
  else
    lua_pushfstring(L, "%s:%d", text, static_cast<int>(endpoint.port));
  lua_remove(L, -2);
  return 1;
}

int endpoint_gc(lua_State *L) {
  // Idempotent: hook code may reach the metatable and call __gc itself.
  auto &endpoint = check_endpoint(L, 1);
  luaL_unref(L, LUA_REGISTRYINDEX, endpoint.address_ref);
  endpoint.address_ref = LUA_NOREF;
  return 0;
}

int endpoint_index(lua_State *L) {
  const auto &endpoint = check_endpoint(L, 1);
  size_t length = 0;
  const char *name = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &length) : nullptr;
  if (name && length == 2 && std::memcmp(name, "ip", 2) == 0)
    lua_rawgeti(L, LUA_REGISTRYINDEX, endpoint.address_ref);
  else if (name && length == 4 && std::memcmp(name, "port", 4) == 0)
    lua_pushnumber(L, static_cast<lua_Number>(endpoint.port));
  else
    lua_pushnil(L);
  return 1;
}

int endpoint_tostring(lua_State *L) { return push_text(L, check_endpoint(L, 1)); }

int endpoint_concat(lua_State *L) {
  if (const tcp_endpoint_t *first = to_tcp_endpoint(L, 1)) {
    push_text(L, *first);
    return concat_text(L, 1);
  }
  push_text(L, check_endpoint(L, 2));
  return concat_text(L, 2);
}

} // namespace

void tcp_endpoint_t::register_metatable(lua_State *L) {
  static const luaL_Reg methods[] = {{"__gc", endpoint_gc},
                                     {"__index", endpoint_index},
                                     {"__tostring", endpoint_tostring},
                                     {"__concat", endpoint_concat},
                                     {nullptr, nullptr}};
  luaL_newmetatable(L, key::tcp_endpoint_metatable);
  luaL_setfuncs(L, methods, 0);
  lua_pop(L, 1);
}

void push_tcp_endpoint(lua_State *L, const boost::asio::ip::tcp::endpoint &endpoint) {
  // The endpoint first, complete and without an address, so that a memory error at any later step leaves
  // nothing behind that its __gc would not release.
  const ip_address_t address = ip_address_t::from(endpoint.address());
  auto *value = static_cast<tcp_endpoint_t *>(lua_newuserdata(L, sizeof(tcp_endpoint_t)));
  value->address_ref = LUA_NOREF;
  value->port = endpoint.port();
  luaL_setmetatable(L, key::tcp_endpoint_metatable);
  push_ip_address(L, address);
  value->address_ref = luaL_ref(L, LUA_REGISTRYINDEX);
}

const tcp_endpoint_t *to_tcp_endpoint(lua_State *L, int index) noexcept {
  return static_cast<const tcp_endpoint_t *>(luaL_testudata(L, index, key::tcp_endpoint_metatable));
}

} // namespace mv::lua::movri
