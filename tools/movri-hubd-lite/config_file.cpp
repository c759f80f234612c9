#include "fw/util/configuration.hpp"
#include "config_file.hpp"

#include <fstream>
#include <sstream>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>

namespace hubd_lite {

namespace {

class error_collector_t : public google::protobuf::io::ErrorCollector {
public:
  void AddError(int line, int column, const std::string &message) override {
    if (first_.empty()) first_ = std::to_string(line + 1) + ":" + std::to_string(column + 1) + ": " + message;
  }
  const std::string &first() const { return first_; }

private:
  std::string first_;
};

} // namespace

std::variant<fw::configuration_t, std::string> load_config(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) return path + ": cannot read the file";
  return parse_config(text.str(), path);
}

std::variant<fw::configuration_t, std::string> parse_config(const std::string &text, const std::string &name) {
  google::protobuf::TextFormat::Parser parser;
  error_collector_t errors;
  parser.RecordErrorsTo(&errors);
  fw::configuration_t config;
  if (!parser.ParseFromString(text, &config))
    return name + ":" + (errors.first().empty() ? std::string("0:0: cannot parse") : errors.first());
  return config;
}

void resolve_config(fw::configuration_t &config, const std::string &path) {
  if (!config.has_actual_log()) {
    if (config.has_log() && config.log().type() != mv::Log::AUTO) {
      *config.mutable_actual_log() = config.log();
    } else {
      auto &log = *config.mutable_actual_log();
      log.set_type(mv::Log::SYSLOG);
      log.set_facility(mv::Log::DAEMON);
    }
  }
  if (config.intercept_hook().has_file()) {
    boost::filesystem::path hook(config.intercept_hook().file());
    if (hook.is_relative())
      config.mutable_intercept_hook()->set_file(
          (boost::filesystem::absolute(path).parent_path() / hook).lexically_normal().string());
  }
}

} // namespace hubd_lite
