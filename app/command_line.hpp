#pragma once

namespace fw::app {

// Command-line mode (no HubD channel): --help, --version, the hidden --dump-app-info, or the
// standalone notice with status 1. Never returns; exceptions are left to the caller.
[[noreturn]] void run_command_line(int argc, char **argv);

} // namespace fw::app
