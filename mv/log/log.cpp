#include "mv/log/log.hpp"

#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "mv/log/console_log.hpp"

namespace mv::log {

std::atomic<int> threshold{Debug};

namespace {

enum class mode_t { buffering, installed, fallback };

struct state_t {
  std::recursive_mutex mutex;
  mode_t mode = mode_t::buffering;
  std::shared_ptr<cf_log_t> sink;
  std::vector<std::pair<int, std::string>> early;
};

state_t &state() {
  // Never destroyed: records may still be written by exit handlers after static destruction began.
  static state_t *s = new state_t;
  return *s;
}

std::string format_record(int level, std::string_view text) {
  std::string line = level_name(level);
  line.append(": ").append(text);
  return line;
}

void replay(std::vector<std::pair<int, std::string>> records) {
  for (auto &[level, text] : records)
    if (enabled(level)) log(level, text);
}

void flush_at_exit() {
  auto &s = state();
  std::vector<std::pair<int, std::string>> records;
  {
    std::lock_guard lock(s.mutex);
    s.mode = mode_t::fallback;
    records.swap(s.early);
  }
  if (records.empty()) return;
  if (enabled(Debug)) log(Debug, "Flushing log...");
  replay(std::move(records));
}

} // namespace

const char *level_name(int level) noexcept {
  switch (level) {
  case Debug: return "Debug";
  case Info: return "Info";
  case Notice: return "Notice";
  case Warning: return "Warning";
  case Error: return "Error";
  default: return "Unknown";
  }
}

void log(int level, std::string_view text) {
  auto &s = state();
  std::lock_guard lock(s.mutex);
  switch (s.mode) {
  case mode_t::buffering:
    s.early.emplace_back(level, std::string(text));
    return;
  case mode_t::installed:
    s.sink->write(level, text);
    if (s.sink->message_hook) s.sink->message_hook(format_record(level, text));
    return;
  case mode_t::fallback:
    if (enabled(level)) write_all(2, format_record(level, text) + "\n");
    return;
  }
}

void set_log(std::shared_ptr<cf_log_t> sink) {
  auto &s = state();
  std::vector<std::pair<int, std::string>> records;
  {
    std::lock_guard lock(s.mutex);
    s.sink = std::move(sink);
    s.sink->open();
    if (s.mode != mode_t::fallback) s.mode = mode_t::installed;
    records.swap(s.early);
  }
  replay(std::move(records));
}

bool is_installed() {
  auto &s = state();
  std::lock_guard lock(s.mutex);
  return s.sink != nullptr;
}

void out_of_memory() noexcept {
  auto &s = state();
  std::lock_guard lock(s.mutex);
  if (s.mode == mode_t::installed) {
    s.sink->out_of_memory();
    return;
  }
  write_all(2, "Error: Not enough memory\n");
}

std::shared_ptr<cf_log_t> default_log() { return std::make_shared<cf_console_log_t>(); }

void install_exit_flush() {
  static bool installed = false;
  if (!installed) {
    installed = true;
    std::atexit(flush_at_exit);
  }
}

std::string escape(std::string_view name) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f && byte != '\\') {
      text.push_back(c);
      continue;
    }
    text += "\\x";
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0xf]);
  }
  return text;
}

} // namespace mv::log
