#pragma once

// Registry keys of the module "movri".
namespace mv::lua::movri::key {
inline constexpr const char io_service[] = "mv.lua.movri.io_service";
inline constexpr const char future_metatable[] = "mv.lua.movri.future_metatable";
inline constexpr const char ip_address_metatable[] = "mv.lua.movri.ip_address_metatable";
inline constexpr const char tcp_endpoint_metatable[] = "mv.lua.movri.tcp_endpoint_metatable";
inline constexpr const char steady_timer_ptr_metatable[] = "mv.lua.movri.steady_timer_ptr_metatable";
} // namespace mv::lua::movri::key
