#pragma once

// The Lua 5.3 C API. The interpreter is built as C: its errors and yields unwind with longjmp, so a
// native function must not have objects with destructors alive in a frame that a Lua error or yield
// may leave (see mv/lua/native.hpp for the pattern that keeps C++ exceptions and Lua errors apart).
#include <lua.hpp>
