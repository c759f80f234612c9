#pragma once

namespace fw::app {

// The daemon's entry: command-line mode without COM_MOVRI_MONITOR, daemon mode with it.
int run(int argc, char **argv);

// Logs "Exit with status N (NAME)" (installing the default log first if none is installed) and exits.
[[noreturn]] void exit_with(int status);

// Connection limit: 0.4 x the soft RLIMIT_NOFILE. Throws "Cannot get rlimit: ..." on failure.
unsigned connection_limit();

} // namespace fw::app
