#include "fw/service/kernel/routing.hpp"
#include "fw/util/system_error.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <stdexcept>

#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/rtnetlink/routing/message.hpp"
#include "fw/linux/rtnetlink/routing/requests.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/service/rule_info.pb.h"
#include "fw/util/scoped_fd.hpp"
#include "fw/util/configuration.hpp"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {
namespace {

namespace netlink = fw::linux::netlink;
namespace rt = fw::linux::rtnetlink::routing;

constexpr std::uint32_t first_table = 100, last_table = 200;
constexpr std::int64_t route_priority = 2147483647;

// Routing header values and attribute types (RTPROT_BOOT, RT_SCOPE_HOST, RTN_LOCAL, FR_ACT_TO_TBL;
// RTA_OIF, RTA_PRIORITY, RTA_TABLE / FRA_TABLE, FRA_FWMARK, FRA_FWMASK).
constexpr std::uint8_t protocol_boot = 3, scope_host = 254, type_local = 2, action_to_table = 1;
constexpr std::uint16_t attribute_oif = 4, attribute_priority = 6, attribute_fwmark = 10, attribute_table = 15,
                        attribute_fwmask = 16;

using fw::util::system_error;

std::string describe_route(std::uint32_t table, std::optional<std::int64_t> priority) {
  return "table " + std::to_string(table) + (priority ? ", metric " + std::to_string(*priority) : std::string());
}

std::string describe_rule(std::uint32_t table, std::uint32_t mark) {
  return "table " + std::to_string(table) + ", fwmark " + std::to_string(mark);
}

unsigned loopback_index() {
  const unsigned index = ::if_nametoindex("lo");
  if (index == 0) throw system_error(errno, "cannot get index for interface \"lo\"");
  return index;
}

void set_table(rt::message_t &message, std::uint32_t table) {
  if (table <= 255)
    message.header().table = static_cast<std::uint8_t>(table);
  else
    message.attributes().add_u32(attribute_table, table);
}

// The local route for every destination through "lo" in the table.
rt::message_t local_route(std::uint32_t table, std::optional<std::int64_t> priority, std::uint8_t family = AF_INET) {
  rt::message_t route;
  route.header().family = family;
  route.header().protocol = protocol_boot;
  route.header().scope = scope_host;
  route.header().type = type_local;
  set_table(route, table);
  route.attributes().add_u32(attribute_oif, loopback_index());
  if (priority) route.attributes().add_u32(attribute_priority, static_cast<std::uint32_t>(*priority));
  return route;
}

// The rule "fwmark mark/mark -> table"; action 0 for deletion.
rt::message_t mark_rule(std::uint32_t table, std::uint32_t mark, std::uint8_t action, std::uint8_t family = AF_INET) {
  rt::message_t rule;
  rule.header().family = family;
  rule.header().type = action;
  set_table(rule, table);
  rule.attributes().add_u32(attribute_fwmark, mark);
  rule.attributes().add_u32(attribute_fwmask, mark);
  return rule;
}

const auto create_flags = static_cast<std::uint16_t>(netlink::f_create | netlink::f_excl);

// "IPv6 " in the texts of the IPv6 objects.
const char *family_word(std::uint8_t family) { return family == AF_INET6 ? "IPv6 " : ""; }

void delete_route(std::uint32_t table, std::optional<std::int64_t> priority, std::uint8_t family = AF_INET) noexcept {
  const std::string description = describe_route(table, priority);
  try {
    rt::execute(rt::rtm_delroute, local_route(table, priority, family));
    MV_LOG(Debug, std::string("Local delivery ") + family_word(family) + "route uninstalled (" + description + ")");
  } catch (...) {
    MV_LOG(Warning, std::string("Cannot uninstall local delivery ") + family_word(family) + "route (" + description +
                        "): " + mv::util::describe_exception(std::current_exception()));
  }
}

void delete_rule(std::uint32_t table, std::uint32_t mark, std::uint8_t family = AF_INET) noexcept {
  const std::string description = describe_rule(table, mark);
  try {
    rt::execute(rt::rtm_delrule, mark_rule(table, mark, 0, family));
    MV_LOG(Debug, std::string("Local delivery ") + family_word(family) + "routing policy uninstalled (" + description +
                      ")");
  } catch (...) {
    MV_LOG(Warning, std::string("Cannot uninstall local delivery ") + family_word(family) + "routing policy (" +
                        description +
                        "): " + mv::util::describe_exception(std::current_exception()));
  }
}

} // namespace

routing_t::routing_t(const fw::configuration_t &configuration, marks_t &marks, bool ipv6)
    : configuration_(configuration), marks_(marks), ipv6_(ipv6) {
  marks_.routing_filter() = [this](std::uint32_t table, std::uint32_t mark) {
    return !(installed_rule_ && installed_rule_->table == table && installed_rule_->mark == mark);
  };
}

routing_t::~routing_t() {
  if (path_) {
    try {
      clean_up(*path_);
    } catch (const std::exception &e) {
      MV_LOG(Warning, mv::util::exception_message(e));
    }
  }
  marks_.routing_filter() = [](std::uint32_t, std::uint32_t) { return true; };
}

void routing_t::start() {
  const std::string path = configuration_.var_lib_dir() + "/rule_info.dat";
  if (path_ && *path_ != path) clean_up(*path_);
  path_ = path;
  // Also after a change of var_lib_dir: a process that crashed may have left a record at the new place.
  clean_up(path);

  if (!configuration_.autoconfigure_routing()) return;

  const std::uint32_t table = free_table(AF_INET);
  const std::uint32_t mark = marks_.local_delivery_mark();
  rule_record_t record{table, mark, route_priority};
  if (ipv6_) record.ipv6_table = free_table(AF_INET6);

  // The record is on disk before anything enters the kernel: whenever the process dies from here on,
  // the next start finds the file naming what may be installed and removes it.
  try {
    write_state_file(path, record);
  } catch (const std::exception &e) {
    throw std::runtime_error("Cannot install local delivery rule: " + mv::util::exception_message(e));
  }

  try {
    auto socket = netlink::socket_t::open(netlink::protocol_route);
    rt::execute(socket, rt::rtm_newroute, local_route(table, route_priority), create_flags);
  } catch (const std::exception &e) {
    remove_state_file(path);
    throw std::runtime_error("Cannot install local delivery route: " + mv::util::exception_message(e));
  }
  route_table_ = table;
  MV_LOG(Debug, "Local delivery route installed (" + describe_route(table, route_priority) + ")");

  try {
    auto socket = netlink::socket_t::open(netlink::protocol_route);
    rt::execute(socket, rt::rtm_newrule, mark_rule(table, mark, action_to_table), create_flags);
  } catch (const std::exception &e) {
    delete_route(table, route_priority);
    route_table_.reset();
    remove_state_file(path);
    throw std::runtime_error("Cannot install local delivery rule: " + mv::util::exception_message(e));
  }
  installed_rule_ = record;
  MV_LOG(Debug, "Local delivery routing policy installed (" + describe_rule(table, mark) + ")");
  if (record.ipv6_table) install_ipv6(path, record);
}

void routing_t::install_ipv6(const std::string &path, const rule_record_t &record) {
  const std::uint32_t table = *record.ipv6_table;
  // A failure takes back both families and the record: the start fails as a whole.
  const auto fail = [&](const char *what, const std::exception &e, bool route_added) {
    if (route_added) delete_route(table, route_priority, AF_INET6);
    delete_route(record.table, route_priority);
    route_table_.reset();
    delete_rule(record.table, record.mark);
    installed_rule_.reset();
    remove_state_file(path);
    return std::runtime_error(std::string("Cannot install local delivery IPv6 ") + what + ": " +
                              mv::util::exception_message(e));
  };
  try {
    auto socket = netlink::socket_t::open(netlink::protocol_route);
    rt::execute(socket, rt::rtm_newroute, local_route(table, route_priority, AF_INET6), create_flags);
  } catch (const std::exception &e) {
    throw fail("route", e, false);
  }
  MV_LOG(Debug, "Local delivery IPv6 route installed (" + describe_route(table, route_priority) + ")");
  try {
    auto socket = netlink::socket_t::open(netlink::protocol_route);
    rt::execute(socket, rt::rtm_newrule, mark_rule(table, record.mark, action_to_table, AF_INET6), create_flags);
  } catch (const std::exception &e) {
    throw fail("rule", e, true);
  }
  MV_LOG(Debug, "Local delivery IPv6 routing policy installed (" + describe_rule(table, record.mark) + ")");
}

std::uint32_t routing_t::free_table(std::uint8_t family) {
  rt::message_t request;
  request.header().family = family;
  const rt::message_t::bytes_t bytes = request.serialise();

  std::set<std::uint32_t> used;
  auto socket = netlink::socket_t::open(netlink::protocol_route);
  for (const std::uint16_t type : {rt::rtm_getroute, rt::rtm_getrule}) {
    for (const netlink::socket_t::received_t &received : socket.dump(type, bytes)) {
      if (received.type != rt::rtm_newroute && received.type != rt::rtm_newrule)
        throw std::runtime_error("rtnetlink: Unexpected message");
      const rt::message_t message = rt::message_t::parse(received.payload.data(), received.payload.size());
      used.insert(message.header().table != 0 ? message.header().table
                                              : message.attributes().get_u32(attribute_table));
    }
  }
  for (std::uint32_t table = first_table; table <= last_table; ++table)
    if (!used.count(table)) return table;
  throw std::runtime_error("Cannot find free routing table");
}

void routing_t::write_state_file(const std::string &path, const rule_record_t &record) {
  RuleInfo info;
  info.set_table_id(record.table);
  info.set_mark(record.mark);
  if (record.priority) info.set_priority(*record.priority);
  if (record.ipv6_table) info.set_ipv6_table_id(*record.ipv6_table);

  util::scoped_fd_t fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) throw system_error(errno, "Cannot create file " + path);
  errno = 0;
  if (!info.SerializeToFileDescriptor(fd.get())) {
    const int error = errno ? errno : EIO;
    fd.reset();
    ::unlink(path.c_str()); // a partial record would only be reported as corrupt
    throw system_error(error, "Cannot serialize to file " + path);
  }
}

void routing_t::remove_state_file(const std::string &path) noexcept {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    MV_LOG(Warning, mv::util::exception_message(system_error(errno, "Cannot remove file " + path)));
}

void routing_t::clean_up(const std::string &path) {
  std::optional<rule_record_t> record;
  {
    util::scoped_fd_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
      if (errno == ENOENT) return;
      throw system_error(errno, "Cannot open file " + path);
    }
    RuleInfo info;
    if (info.ParseFromFileDescriptor(fd.get()))
      record = rule_record_t{info.table_id(), info.mark(),
                             info.has_priority() ? std::optional<std::int64_t>(info.priority()) : std::nullopt,
                             info.has_ipv6_table_id() ? std::optional<std::uint32_t>(info.ipv6_table_id())
                                                      : std::nullopt};
    else
      MV_LOG(Warning, "Cannot parse file " + path);
  }
  // The objects go before their record: a process killed in between leaves a record of objects that
  // are already gone (the next start only logs that it cannot delete them), never objects without one.
  if (record) {
    delete_route(record->table, record->priority);
    route_table_.reset();
    delete_rule(record->table, record->mark);
    if (record->ipv6_table) {
      delete_route(*record->ipv6_table, record->priority, AF_INET6);
      delete_rule(*record->ipv6_table, record->mark, AF_INET6);
    }
  }
  installed_rule_.reset();
  if (::unlink(path.c_str()) != 0) throw system_error(errno, "Cannot remove file " + path);
}

} // namespace fw::service
