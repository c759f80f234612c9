#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace mv::log {

// A log sink. The message hook receives every formatted record ("Level: text") after the sink has
// written it; the second hook is spare.
class cf_log_t {
public:
  using hook_t = std::function<void(std::string_view)>;

  virtual ~cf_log_t() = default;
  virtual void open() {}
  virtual void write(int level, std::string_view text) = 0;
  virtual void write(std::string_view source, int number, std::string_view text);
  // Writes "Error: Not enough memory" without allocating.
  virtual void out_of_memory() noexcept = 0;

  hook_t message_hook;
  hook_t second_hook;
};

// Writes the whole buffer, retrying after signals; other errors are ignored.
void write_all(int fd, std::string_view data) noexcept;

} // namespace mv::log
