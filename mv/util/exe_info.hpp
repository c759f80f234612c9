#pragma once

#include <string>

#include "application.pb.h"

namespace mv::util {

// Describes the executable named by argv[0] (resolved against the current directory, symbolic links
// followed): version, status-change and modification times, size, MD5 digest and owner's user name (or
// the numeric user id when the user database has no entry). Throws on any failure.
mv::AppExeInfo exe_info(const std::string &version, int argc, char **argv);

} // namespace mv::util
