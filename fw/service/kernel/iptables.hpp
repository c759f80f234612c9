#pragma once

#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "fw/util/configuration.hpp"
#include "fw/util/service.hpp"

namespace fw::linux::ip_tables {
struct table_t;
}

namespace fw::util {
class module_loader_t;
}

namespace fw::service {

class divert_queues_t;
class marks_t;

// Puts the daemon's packet-steering rules into the iptables "mangle" and "nat" tables and takes them
// out again. Each table is read whole, cleaned of every rule carrying the comment "movri-firewall" (and
// of the user chain "movri-firewall-divert"), extended and written back under the xtables lock, so
// rules never accumulate and other software's rules keep their places and counters. When the nftables
// probe succeeds, the mangle part is left to the nftables installer and only the nat rule is written.
class iptables_t : public util::service_t {
public:
  // Where the tables are read and written: the kernel, or a stand-in in tests.
  class table_io_t {
  public:
    virtual ~table_io_t() = default;
    virtual linux::ip_tables::table_t read_table(const std::string &name) = 0;
    virtual void write_table(const std::string &name, const linux::ip_tables::table_t &table) = 0;
    // The ip_tables codec on the kernel's tables.
    static table_io_t &kernel();
  };

  // Nothing is touched until start().
  iptables_t(const fw::configuration_t &configuration, const marks_t &marks,
             const boost::asio::ip::tcp::endpoint &transparent_endpoint, const divert_queues_t &diverter,
             util::module_loader_t &module_loader, table_io_t &tables = table_io_t::kernel());
  // Removes the rules if a start installed them; failures are only logged.
  ~iptables_t() override;

  // Installs the rules, or with autoconfigure_iptables off removes what an earlier start installed; the
  // first start also removes what an earlier run of the daemon left (killed before it could). A failed
  // start removes the rules again and raises.
  void start() override;

  bool installed() const noexcept { return installed_; }

private:
  // Takes the xtables lock and cleans both tables; never raises.
  void remove() noexcept;
  // Cleans the tables (under the lock) only when they hold something of the daemon's; never raises.
  void remove_leftovers() noexcept;

  const fw::configuration_t &configuration_;
  const marks_t &marks_;
  const boost::asio::ip::tcp::endpoint &transparent_endpoint_;
  const divert_queues_t &diverter_;
  util::module_loader_t &module_loader_;
  table_io_t &tables_;
  bool installed_ = false;
  bool swept_ = false; // the first start has looked for leftovers
};

} // namespace fw::service
