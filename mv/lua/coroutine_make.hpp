#pragma once

#include "mv/lua/lua.hpp"

namespace mv::lua {

// Registers the module "coroutine.make" in package.loaded (no global). require "coroutine.make" gives
// make(tag), which returns the coroutine functions create, resume, wrap, yield, isyieldable, running
// and status working on a private tag (tag, or a new table): its resume and wrap return only what their
// own coroutines yield or return, and pass every other yield (the runtime's native operations in
// particular) further up, so hook code can run coroutines of its own while native operations still
// suspend the session. Needs the standard libraries. Throws std::runtime_error when that fails.
void install_coroutine_make(lua_State *L);

} // namespace mv::lua
