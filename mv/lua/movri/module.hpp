#pragma once

#include <boost/asio/io_context.hpp>

#include "mv/lua/lua.hpp"

// The module "movri" that hook code obtains with require "movri": log functions, IP addresses and
// subnets, TCP endpoints, sleep, async/wait and list files. The table is read-only.
namespace mv::lua::movri {

// Registers the metatables of the module's types and the event loop that sleep uses
// ("mv.lua.movri.io_service"). Needs the runtime's registry entries. Throws std::runtime_error.
void register_types(lua_State *L, boost::asio::io_context &io);

// Registers the module "movri" in package.loaded (no global). Needs register_types. Throws
// std::runtime_error.
void register_module(lua_State *L);

} // namespace mv::lua::movri
