#include "fw/service/path/connection_diverter.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/async/link.hpp"
#include "fw/service/divert_direction.hpp"
#include "fw/util/configuration.hpp"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {

namespace {

const std::string log_prefix = "Connection diverter: ";

// One direction as the configuration wants it.
struct record_t {
  unsigned direction;
  bool enabled;
  mv::NfqueueNumber number;
  bool connect_transparently;
};

record_t record_of(const fw::configuration_t &c, unsigned direction) {
  switch (direction) {
  case 0: return {0, c.output_divert_enable(), c.output_divert_nfqueue_number(), c.output_divert_connect_transparently()};
  case 1: return {1, c.input_divert_enable(), c.input_divert_nfqueue_number(), c.input_divert_connect_transparently()};
  default:
    return {2, c.forward_divert_enable(), c.forward_divert_nfqueue_number(), c.forward_divert_connect_transparently()};
  }
}

bool is_manual(const mv::NfqueueNumber &number) { return number.num_case() == mv::NfqueueNumber::kManual; }
bool is_auto(const mv::NfqueueNumber &number) { return number.num_case() == mv::NfqueueNumber::kAuto; }
std::uint32_t manual_or_zero(const mv::NfqueueNumber &number) { return is_manual(number) ? number.manual() : 0; }

// The first number among 0 to 99 that no other socket holds; its queue is then bound to the descriptor.
fw::util::scoped_fd_t open_free_queue(std::uint16_t &number) {
  using interceptor_t = fw::linux::nfqueue::packet_interceptor_t;
  for (unsigned candidate = 0; candidate < connection_diverter_t::automatic_queue_numbers; ++candidate) {
    try {
      auto fd = interceptor_t::open_queue(static_cast<std::uint16_t>(candidate),
                                          connection_diverter_t::kernel_queue_length);
      number = static_cast<std::uint16_t>(candidate);
      return fd;
    } catch (const boost::system::system_error &e) {
      if (e.code() != boost::system::errc::operation_not_permitted)
        throw boost::system::system_error(e.code(), "Cannot connect to nfqueue");
    }
  }
  throw std::runtime_error("Cannot detect free nfqueue number");
}

} // namespace

connection_diverter_t::connection_diverter_t(boost::asio::io_context &io, delegate_t &delegate,
                                             const fw::configuration_t &config, server_connector_t &connector,
                                             const marks_t &marks, connection_rejector_t &rejector,
                                             marking_retransmitter_t &retransmitter,
                                             const packet_validator_t &validator, session_factory_t &sessions)
    : io_(io), delegate_(delegate), config_(config), connector_(connector), marks_(marks), rejector_(rejector),
      retransmitter_(retransmitter), validator_(validator), sessions_(sessions) {}

connection_diverter_t::~connection_diverter_t() {
  for (auto &entry : entries_) {
    if (!entry) continue;
    const unsigned direction = entry->direction();
    entry.reset();
    MV_LOG(Debug, log_prefix + "interceptor " + divert_log_name(direction) + ": stopped");
  }
  for (const auto &[key, handle] : connects_) connector_.cancel(handle);
}

void connection_diverter_t::start() {
  std::vector<record_t> records;
  for (unsigned direction = 0; direction < entries_.size(); ++direction)
    records.push_back(record_of(config_, direction));
  // Fixed numbers first, in ascending order, so that no automatic search takes one of them.
  std::stable_sort(records.begin(), records.end(), [](const record_t &a, const record_t &b) {
    if (is_manual(a.number) != is_manual(b.number)) return is_manual(a.number);
    return is_manual(a.number) && a.number.manual() < b.number.manual();
  });

  const bool security_option = config_.process_ip_security_option();
  for (record_t &record : records) {
    const std::string name = divert_log_name(record.direction);
    auto &slot = entries_[record.direction];
    if (!record.enabled) {
      if (slot) {
        slot.reset();
        MV_LOG(Debug, log_prefix + "divert " + name + ": stopped");
      }
      continue;
    }
    if (is_auto(record.number) && !config_.autoconfigure_iptables())
      throw std::runtime_error("Manual iptables configuration requested along with automatic NFQUEUE number for " +
                               name + " divert");
    if (slot) {
      if (is_auto(record.number) || slot->queue_number() == manual_or_zero(record.number)) {
        slot->configure(record.connect_transparently, security_option);
        continue;
      }
      slot.reset();
      MV_LOG(Debug, log_prefix + "divert " + name + ": stopped");
    }

    try {
      std::uint16_t number = 0;
      fw::util::scoped_fd_t fd;
      if (is_manual(record.number)) {
        if (record.number.manual() > 0xFFFF) throw std::runtime_error("invalid nfqueue number");
        number = static_cast<std::uint16_t>(record.number.manual());
        fd = fw::linux::nfqueue::packet_interceptor_t::open_queue(number, kernel_queue_length);
      } else {
        fd = open_free_queue(number);
        record.number.set_manual(number);
      }
      auto link = std::make_unique<fw::linux::netlink::async::link_t>(io_, std::move(fd));
      MV_LOG(Debug, log_prefix + "connected to nfqueue " + std::to_string(number) + " for divert " + name);
      auto interceptor =
          std::make_unique<fw::linux::nfqueue::packet_interceptor_t>(std::move(link), number, queue_limit);
      auto entry = std::make_unique<divert_entry_t>(*this, record.direction, std::move(interceptor),
                                                    record.connect_transparently, security_option);
      entry->start();
      slot = std::move(entry);
      MV_LOG(Debug, log_prefix + "divert " + name + ": started");
    } catch (const std::runtime_error &e) {
      throw std::runtime_error("Cannot connect to nfqueue " + std::to_string(manual_or_zero(record.number)) +
                               " for divert " + name + ": " + mv::util::exception_message(e));
    }
  }
}

const connection_diverter_t::divert_entry_t *connection_diverter_t::entry(unsigned direction) const noexcept {
  return direction < entries_.size() ? entries_[direction].get() : nullptr;
}

std::optional<std::uint16_t> connection_diverter_t::queue_number(unsigned direction) const {
  if (const auto *running = entry(direction)) return running->queue_number();
  return std::nullopt;
}

std::optional<connection_diverter_t::connects_t::iterator>
connection_diverter_t::connect(const fw::net::connection_key_t &key, const std::uint8_t *security_option,
                               const std::optional<boost::asio::ip::address> &bind_address, unsigned direction,
                               server_connector_t::handler_t handler) {
  connects_.emplace(key, server_connector_t::handle_t());
  server_connector_t::handle_t handle;
  try {
    handle = connector_.connect(key.server, security_option, bind_address, direction, std::move(handler));
  } catch (...) {
    connects_.erase(key);
    throw;
  }
  // An attempt that the connection limit pushed out at once has completed already.
  const auto position = connects_.find(key);
  if (position == connects_.end()) return std::nullopt;
  position->second = std::move(handle);
  return position;
}

} // namespace fw::service
