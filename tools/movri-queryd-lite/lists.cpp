#include "lists.hpp"

#include <fnmatch.h>

#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <boost/asio/ip/address.hpp>
#include <boost/filesystem/path.hpp>

#include "fw/queryd/lookup_type.hpp"

namespace queryd_lite {

namespace {

std::string trim(const std::string &s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

struct line_t {
  unsigned number;
  std::string text;
};

std::vector<line_t> read_lines(const std::string &path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<line_t> lines;
  std::string line;
  for (unsigned number = 1; std::getline(in, line); ++number) {
    line = trim(line);
    if (!line.empty() && line[0] != '#') lines.push_back({number, line});
  }
  if (in.bad()) throw std::runtime_error("cannot read " + path);
  return lines;
}

std::vector<std::string> texts(const std::vector<line_t> &lines) {
  std::vector<std::string> result;
  for (const auto &l : lines) result.push_back(l.text);
  return result;
}

// Exact lines; also what every back end without a matcher of its own uses.
class exact_list_t : public list_t {
public:
  explicit exact_list_t(std::vector<std::string> lines) : list_t(std::move(lines)) {}
  bool check(const std::string &value) const override {
    for (const auto &l : lines())
      if (l == value) return true;
    return false;
  }
};

// ECMAScript regular expressions, each searched for anywhere in the value.
class regex_list_t : public list_t {
public:
  regex_list_t(const std::vector<line_t> &lines, const std::string &path) : list_t(texts(lines)) {
    for (const auto &l : lines) {
      try {
        patterns_.emplace_back(l.text);
      } catch (const std::regex_error &e) {
        throw std::runtime_error(path + ":" + std::to_string(l.number) + ": bad regular expression: " + e.what());
      }
    }
  }
  bool check(const std::string &value) const override {
    for (const auto &p : patterns_)
      if (std::regex_search(value, p)) return true;
    return false;
  }

private:
  std::vector<std::regex> patterns_;
};

// Shell patterns matched against the whole value.
class mask_list_t : public list_t {
public:
  explicit mask_list_t(std::vector<std::string> lines) : list_t(std::move(lines)) {}
  bool check(const std::string &value) const override {
    for (const auto &l : lines())
      if (::fnmatch(l.c_str(), value.c_str(), 0) == 0) return true;
    return false;
  }
};

// Networks "address/prefix" (or single addresses) of either IP version.
class cidr_list_t : public list_t {
public:
  cidr_list_t(const std::vector<line_t> &lines, const std::string &path) : list_t(texts(lines)) {
    for (const auto &l : lines) {
      auto net = parse(l.text);
      if (!net) throw std::runtime_error(path + ":" + std::to_string(l.number) + ": bad network: " + l.text);
      networks_.push_back(*net);
    }
  }
  bool check(const std::string &value) const override {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(value, ec);
    if (ec) throw std::invalid_argument("not an IP address: " + value);
    const auto bytes = bytes_of(address);
    for (const auto &n : networks_)
      if (n.bytes.size() == bytes.size() && within(bytes, n.bytes, n.prefix)) return true;
    return false;
  }

private:
  struct network_t {
    std::vector<unsigned char> bytes;
    unsigned prefix;
  };

  static std::vector<unsigned char> bytes_of(const boost::asio::ip::address &a) {
    if (a.is_v4()) {
      const auto b = a.to_v4().to_bytes();
      return {b.begin(), b.end()};
    }
    const auto b = a.to_v6().to_bytes();
    return {b.begin(), b.end()};
  }

  static std::optional<network_t> parse(const std::string &text) {
    const auto slash = text.find('/');
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(text.substr(0, slash), ec);
    if (ec) return std::nullopt;
    network_t n{bytes_of(address), 0};
    const unsigned bits = static_cast<unsigned>(n.bytes.size() * 8);
    n.prefix = bits;
    if (slash != std::string::npos) {
      const std::string prefix = text.substr(slash + 1);
      if (prefix.empty() || prefix.size() > 3 || prefix.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
      n.prefix = static_cast<unsigned>(std::stoul(prefix));
      if (n.prefix > bits) return std::nullopt;
    }
    return n;
  }

  static bool within(const std::vector<unsigned char> &a, const std::vector<unsigned char> &net, unsigned prefix) {
    for (unsigned i = 0; i < prefix; ++i) {
      const unsigned char bit = static_cast<unsigned char>(0x80 >> (i % 8));
      if ((a[i / 8] & bit) != (net[i / 8] & bit)) return false;
    }
    return true;
  }

  std::vector<network_t> networks_;
};

} // namespace

std::unique_ptr<list_t> list_t::load(lp::LookupType type, const std::string &path) {
  const auto lines = read_lines(path);
  switch (type) {
  case lp::LOOKUP_REGEX:
    return std::make_unique<regex_list_t>(lines, path);
  case lp::LOOKUP_MASK:
    return std::make_unique<mask_list_t>(texts(lines));
  case lp::LOOKUP_CIDR:
    return std::make_unique<cidr_list_t>(lines, path);
  default:
    return std::make_unique<exact_list_t>(texts(lines));
  }
}

std::variant<lists_t, std::string> load_lists(const std::string &config_path) {
  std::ifstream in(config_path);
  if (!in) return "cannot read " + config_path;
  const auto base = boost::filesystem::path(config_path).parent_path();
  lists_t lists;
  std::string line;
  for (unsigned number = 1; std::getline(in, line); ++number) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    const std::string where = config_path + ":" + std::to_string(number) + ": ";
    std::istringstream fields(line);
    std::string type_name, tag, file, extra;
    if (!(fields >> type_name >> tag >> file) || (fields >> extra)) return where + "expected TYPE TAG FILE";
    const auto type = fw::queryd::lookup_type_of(type_name);
    if (!type) return where + "unknown list type " + type_name;
    boost::filesystem::path path(file);
    if (path.is_relative()) path = base / path;
    try {
      auto list = list_t::load(*type, path.string());
      if (!lists.emplace(std::make_pair(*type, tag), std::move(list)).second)
        return where + "list " + fw::queryd::lookup_type_name(*type) + "@" + tag + " given twice";
    } catch (const std::exception &e) {
      return where + e.what();
    }
  }
  return lists;
}

} // namespace queryd_lite
