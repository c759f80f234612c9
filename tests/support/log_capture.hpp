#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mv/log/log.hpp"

namespace tests {

// Installs a sink that keeps every record ("Level: text") in memory and lowers the threshold to Debug.
class log_capture_t {
public:
  log_capture_t() : sink_(std::make_shared<sink_t>()) {
    mv::log::threshold = mv::log::Debug;
    mv::log::set_log(sink_);
  }

  const std::vector<std::string> &lines() const { return sink_->lines; }
  // How many records are exactly this line.
  std::size_t count(const std::string &line) const {
    return static_cast<std::size_t>(std::count(sink_->lines.begin(), sink_->lines.end(), line));
  }
  // How many records contain the text.
  std::size_t count_containing(const std::string &text) const {
    return static_cast<std::size_t>(std::count_if(sink_->lines.begin(), sink_->lines.end(),
                                                  [&](const std::string &l) { return l.find(text) != std::string::npos; }));
  }
  std::string all() const {
    std::string text;
    for (const auto &line : sink_->lines) text += line + "\n";
    return text;
  }

private:
  struct sink_t : mv::log::cf_log_t {
    void write(int level, std::string_view text) override {
      lines.push_back(std::string(mv::log::level_name(level)) + ": " + std::string(text));
    }
    void out_of_memory() noexcept override {}
    std::vector<std::string> lines;
  };
  std::shared_ptr<sink_t> sink_;
};

} // namespace tests
