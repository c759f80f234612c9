#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "queryd_client_ipc.pb.h"

namespace queryd_lite {

// One list read from a file: its lines (trimmed; blank lines and lines starting with "#" dropped) and
// how a value is checked against them.
class list_t {
public:
  virtual ~list_t() = default;
  const std::vector<std::string> &lines() const noexcept { return lines_; }
  // Whether the value is on the list; throws std::invalid_argument for a value the list cannot judge.
  virtual bool check(const std::string &value) const = 0;

  // Reads the file for the type; throws std::runtime_error naming the file (and line) on failure.
  static std::unique_ptr<list_t> load(lp::LookupType type, const std::string &path);

protected:
  explicit list_t(std::vector<std::string> lines) : lines_(std::move(lines)) {}

private:
  std::vector<std::string> lines_;
};

// The lists of a configuration, by type and tag.
using lists_t = std::map<std::pair<lp::LookupType, std::string>, std::unique_ptr<list_t>>;

// Reads a configuration: one list per line, "TYPE TAG FILE", with relative files taken from the
// configuration's directory; blank lines and lines starting with "#" are skipped. Returns the lists or
// an error text.
std::variant<lists_t, std::string> load_lists(const std::string &config_path);

} // namespace queryd_lite
