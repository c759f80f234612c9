#include "fw/service/kernel/marks.hpp"

#include <bit>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>

#include <boost/system/system_error.hpp>

#include "fw/linux/ip_tables/codec.hpp"
#include "fw/linux/ip_tables/ext_comment.hpp"
#include "fw/linux/ip_tables/ext_mark.hpp"
#include "fw/service/kernel/host_mark_sources.hpp"
#include "fw/util/ipv6.hpp"
#include "fw/util/configuration.hpp"
#include "mv/log/log.hpp"

namespace fw::service {
namespace {

namespace ipt = fw::linux::ip_tables;

const char *const own_comment = "movri-firewall";

// One mark as the configuration asks for it.
struct wanted_t {
  enum kind_t { unset, automatic, manual, none } kind = unset;
  std::uint32_t value = 0;
};

wanted_t wanted(const mv::FwMark &mark) {
  switch (mark.mark_case()) {
  case mv::FwMark::kAuto: return {wanted_t::automatic};
  case mv::FwMark::kManual: return {wanted_t::manual, mark.manual()};
  default: return {};
  }
}

wanted_t wanted(const mv::FwMarkOptional &mark) {
  switch (mark.mark_case()) {
  case mv::FwMarkOptional::kAuto: return {wanted_t::automatic};
  case mv::FwMarkOptional::kManual: return {wanted_t::manual, mark.manual()};
  case mv::FwMarkOptional::kNone: return {wanted_t::none};
  default: return {};
  }
}

template <typename Rule> bool is_own(const Rule &rule) {
  for (const ipt::extension_t &match : rule.matches)
    if (ipt::comment_text(match) == own_comment) return true;
  return false;
}

// The mark values that the rules of other software set or test.
template <typename Rule> std::uint32_t marks_of(const std::vector<Rule> &rules) {
  std::uint32_t used = 0;
  for (const Rule &rule : rules) {
    if (is_own(rule)) continue;
    for (const ipt::extension_t &match : rule.matches)
      if (const auto mark = ipt::mark_match_value(match)) used |= *mark;
    if (const auto *target = std::get_if<ipt::extension_t>(&rule.target))
      if (const auto mark = ipt::mark_target_value(*target)) used |= *mark;
  }
  return used;
}

// The marks of other software's rules in the ip6tables "nat" and "mangle" tables that exist (reading a
// missing one would create it).
std::uint32_t ip6tables_marks() {
  std::set<std::string> existing;
  std::ifstream names("/proc/net/ip6_tables_names");
  for (std::string line; std::getline(names, line);) existing.insert(line);
  std::uint32_t used = 0;
  for (const char *name : {"nat", "mangle"}) {
    if (!existing.count(name)) continue;
    const ipt::table6_t table = ipt::read_table6(name);
    for (const auto &[hook, chain] : table.builtin_chains) used |= marks_of(chain.rules);
    for (const auto &[chain_name, chain] : table.user_chains) used |= marks_of(chain.rules);
  }
  return used;
}

} // namespace

marks_t::marks_t(const fw::configuration_t &configuration)
    : configuration_(configuration), own_sources_(std::make_unique<host_mark_sources_t>()), sources_(*own_sources_) {}

marks_t::marks_t(const fw::configuration_t &configuration, delegate_t &sources)
    : configuration_(configuration), sources_(sources) {}

marks_t::~marks_t() = default;

std::uint32_t marks_t::divert_mark(int direction) const noexcept {
  switch (direction) {
  case 0: return marks_[output_divert];
  case 1: return marks_[input_divert];
  case 2: return marks_[forward_divert];
  default: return 0;
  }
}

void marks_t::start() {
  const fw::configuration_t &c = configuration_;
  static const char *const names[count] = {"LocalDeliveryMark", "ClientPacketsMark", "ServerPacketsMark",
                                           "InputDivertMark",   "OutputDivertMark",  "ForwardDivertMark"};
  const std::array<wanted_t, count> wanted_marks = {
      wanted(c.local_delivery_mark()), wanted(c.client_packets_mark()), wanted(c.server_packets_mark()),
      wanted(c.input_divert_mark()),   wanted(c.output_divert_mark()),  wanted(c.forward_divert_mark())};
  const std::array<bool, count> enabled = {true, true, true, c.input_divert_enable(), c.output_divert_enable(),
                                           c.forward_divert_enable()};
  marks_ = {};

  if (c.process_ip_security_option())
    for (int i = input_divert; i < count; ++i)
      if (enabled[i] && wanted_marks[i].kind == wanted_t::none)
        MV_LOG(Warning, std::string("RuvidOrederid.") + names[i] +
                            " is set to None. This can lead to incorrect operation under PARSEC. For more "
                            "information please refer to Configuring the PARSEC section of the Administrator "
                            "manual.");

  if (!(c.autoconfigure_iptables() && c.autoconfigure_routing()))
    for (int i = 0; i < count; ++i)
      if (enabled[i] && wanted_marks[i].kind == wanted_t::automatic)
        throw std::runtime_error(std::string("Manual ") + (c.autoconfigure_routing() ? "iptables" : "routing") +
                                 " configuration requested along with automatic selection of " + names[i] +
                                 " value");

  // The marks taken into account, in table order.
  std::vector<int> taken;
  for (int i = 0; i < count; ++i)
    if (enabled[i] && (wanted_marks[i].kind == wanted_t::automatic || wanted_marks[i].kind == wanted_t::manual))
      taken.push_back(i);

  std::array<std::uint32_t, count> result{};
  std::uint32_t used = 0;
  bool any_automatic = false;
  for (const int i : taken) {
    if (wanted_marks[i].kind != wanted_t::manual) {
      any_automatic = true;
      continue;
    }
    const std::uint32_t value = wanted_marks[i].value;
    if (std::popcount(value) != 1) throw std::runtime_error("mark value must have exactly one non-zero bit");
    if (value & used) throw std::runtime_error("mark " + std::to_string(value) + " is already occupied");
    result[i] = value;
    used |= value;
  }

  if (any_automatic) used |= foreign_marks();
  if (const auto nftables = sources_.nftables_marks()) used |= *nftables;

  for (const int i : taken) {
    if (wanted_marks[i].kind != wanted_t::automatic) continue;
    if (used == 0xFFFFFFFFu) throw std::runtime_error("all marks are already occupied");
    result[i] = std::uint32_t{1} << std::countr_one(used);
    used |= result[i];
  }
  marks_ = result;
}

std::uint32_t marks_t::foreign_marks() {
  std::uint32_t used = 0;
  for (const char *name : {"nat", "mangle"}) {
    ipt::table_t table;
    try {
      table = ipt::read_table(name);
    } catch (const boost::system::system_error &e) {
      if (e.code() != boost::system::errc::no_protocol_option &&
          e.code() != boost::system::errc::no_such_file_or_directory)
        throw;
      MV_LOG(Debug, std::string("Table ") + name + " is not loaded");
      continue;
    }
    for (const auto &[hook, chain] : table.builtin_chains) used |= marks_of(chain.rules);
    for (const auto &[chain_name, chain] : table.user_chains) used |= marks_of(chain.rules);
  }
  if (util::ipv6_enabled()) used |= ip6tables_marks();
  for (const auto &[table_id, mark] : sources_.routing_marks())
    if (routing_filter_(table_id, mark)) used |= mark;
  return used;
}

} // namespace fw::service
