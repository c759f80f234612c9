#pragma once

#include <string>

namespace tests {

// Moves the calling process into a fresh network namespace with loopback up. Every test program runs
// each case as its own process, so a case that calls this leaves the host's tables, rules and routes
// alone, and the namespace disappears with the process. Skips the test when not running as root.
void enter_fresh_netns();

// Runs a shell command (inside the current namespace) and returns its standard output; fails the test
// when the command fails unless allow_failure is set.
std::string shell(const std::string &command, bool allow_failure = false);

} // namespace tests
