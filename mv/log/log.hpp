#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "mv/log/cf_log.hpp"

namespace mv::log {

enum level_t : int { Debug = 0, Info = 1, Notice = 2, Warning = 3, Error = 4 };

// Process-wide threshold: a record is produced only when its level is at least the threshold.
extern std::atomic<int> threshold;

inline bool enabled(int level) noexcept { return threshold.load(std::memory_order_relaxed) <= level; }

// "Debug", "Info", "Notice", "Warning", "Error" or "Unknown".
const char *level_name(int level) noexcept;

// Writes one record: into the early buffer before any sink is installed, to the sink afterwards, and to
// standard error once the process is exiting. Callers test enabled() before building the text.
void log(int level, std::string_view text);

// Installs a sink (releasing the previous one), opens it and replays the early buffer.
void set_log(std::shared_ptr<cf_log_t> sink);
bool is_installed();
void out_of_memory() noexcept;

// A console sink without hooks.
std::shared_ptr<cf_log_t> default_log();

// Registers the exit-time handler that prints records no sink ever received.
void install_exit_flush();

// A name that comes from the host (an executable path, a user, group, interface or chain name) as it
// goes into a log line: control characters and the backslash become \xNN, so that no name can end a
// record and begin a forged one.
std::string escape(std::string_view name);

} // namespace mv::log

// Builds the text only when the level is admitted: MV_LOG(Notice, "x " + y).
#define MV_LOG(level, text)                                                                        \
  do {                                                                                             \
    if (::mv::log::enabled(::mv::log::level)) ::mv::log::log(::mv::log::level, (text));           \
  } while (0)
