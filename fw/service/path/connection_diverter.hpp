#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "fw/util/configuration.hpp"
#include "fw/linux/nfqueue/packet_interceptor.hpp"
#include "fw/net/endpoint.hpp"
#include "fw/net/raw_sender.hpp"
#include "fw/service/divert_queues.hpp"
#include "fw/service/path/server_connector.hpp"
#include "fw/service/path/session_factory.hpp"
#include "fw/util/scoped_fd.hpp"
#include "fw/util/service.hpp"
#include "mv/util/callback_wrapper.hpp"
#include "rules.pb.h"

namespace fw::service {

class marks_t;
class connection_rejector_t;
class marking_retransmitter_t;
class packet_validator_t;

// Decides the fate of every new TCP connection in each enabled divert direction (0 output, 1 input,
// 2 forward). Each direction has its own NFQUEUE queue and divert entry; the entry asks for a verdict
// and carries it out: pass re-injects the SYN with the bypass marks, drop drops it, reject drops it
// and resets the client, check connects to the server, sends a marked copy of the SYN towards the
// transparent acceptor and hands the server socket with the connection's rule set to the delegate.
class connection_diverter_t : public fw::util::service_t, public divert_queues_t {
public:
  // The receiver of established server connections (the server socket pool).
  class delegate_t {
  public:
    virtual ~delegate_t() = default;
    // Whether a connected server socket for this key is already waiting for its client.
    virtual bool has_server_socket(const fw::net::endpoint_t &client, const fw::net::endpoint_t &server) const = 0;
    // Takes over a connected server socket with the rule set for its connection.
    virtual void add_server_socket(const fw::net::endpoint_t &client, const fw::net::endpoint_t &server,
                                   const mv::RuleSet &rules, fw::util::scoped_fd_t socket) = 0;
  };

  class divert_entry_t;

  // The queue limit of every interceptor and the kernel queue length of every queue.
  static constexpr std::uint32_t queue_limit = 768;
  static constexpr std::uint32_t kernel_queue_length = 1024;
  // Automatic queue numbers are searched among 0 to 99.
  static constexpr unsigned automatic_queue_numbers = 100;

  // Nothing is opened until start.
  connection_diverter_t(boost::asio::io_context &io, delegate_t &delegate, const fw::configuration_t &config,
                        server_connector_t &connector, const marks_t &marks, connection_rejector_t &rejector,
                        marking_retransmitter_t &retransmitter, const packet_validator_t &validator,
                        session_factory_t &sessions);
  // Stops every direction, then cancels the server connections still being opened.
  ~connection_diverter_t() override;

  // Brings the running directions in line with the configuration: queues with manual numbers are bound
  // first, then automatic ones search a free number; an unchanged queue keeps its entry.
  void start() override;

  // The running entry of the direction, or null.
  const divert_entry_t *entry(unsigned direction) const noexcept;
  std::optional<std::uint16_t> queue_number(unsigned direction) const override;

private:
  using connects_t = std::map<fw::net::connection_key_t, server_connector_t::handle_t>;

  // Records the key as in progress and starts the connector's attempt; the handler is the attempt's.
  // Nothing stays recorded when the connector raises. Returns the record, or none when the attempt
  // completed already (pushed out at once by the connection limit).
  std::optional<connects_t::iterator> connect(const fw::net::connection_key_t &key, const std::uint8_t *security_option,
               const std::optional<boost::asio::ip::address> &bind_address, unsigned direction,
               server_connector_t::handler_t handler);

  boost::asio::io_context &io_;
  delegate_t &delegate_;
  const fw::configuration_t &config_;
  server_connector_t &connector_;
  const marks_t &marks_;
  connection_rejector_t &rejector_;
  marking_retransmitter_t &retransmitter_;
  const packet_validator_t &validator_;
  session_factory_t &sessions_;
  connects_t connects_; // every server connection being opened, across all directions
  std::array<std::unique_ptr<divert_entry_t>, 3> entries_;
};

// One running divert direction: its queue, the connections waiting for their verdict, and the server
// connections it started.
class connection_diverter_t::divert_entry_t : private fw::linux::nfqueue::packet_interceptor_t::delegate_t,
                                              private mv::util::callback_wrapper_t {
public:
  using interceptor_t = fw::linux::nfqueue::packet_interceptor_t;
  using packet_handle_t = std::weak_ptr<interceptor_t::packet_entry_t>;
  // The IP (IPv4 or IPv6) and TCP headers of an intercepted SYN, contiguously; follows the connection to
  // the end.
  using header_copy_t = fw::net::raw_sender_t::buffer_t;

  divert_entry_t(connection_diverter_t &diverter, unsigned direction, std::unique_ptr<interceptor_t> interceptor,
                 bool connect_transparently, bool process_ip_security_option);
  // Cancels its server connections, abandons its sessions and closes the queue.
  ~divert_entry_t() override;
  divert_entry_t(const divert_entry_t &) = delete;
  divert_entry_t &operator=(const divert_entry_t &) = delete;

  // Starts receiving from the queue.
  void start();
  // New flags for connections intercepted from now on and verdicts not yet handled.
  void configure(bool connect_transparently, bool process_ip_security_option) noexcept;

  unsigned direction() const noexcept { return direction_; }
  std::uint16_t queue_number() const noexcept { return interceptor_->queue_number(); }
  std::size_t pending_verdicts() const noexcept { return verdict_requests_.size(); }
  std::size_t pending_connects() const noexcept { return connects_.size(); }

  // Starts the server connection of a connection whose verdict is check.
  void handle_check_verdict(header_copy_t headers, std::size_t ip_length, std::size_t tcp_length,
                            const packet_handle_t &packet, mv::RuleSet rules);

private:
  struct verdict_request_t;
  struct check_request_t;
  using verdict_requests_t = std::map<fw::net::connection_key_t, std::unique_ptr<session_factory_t::session_t>>;

  void packet_intercepted(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp,
                          const interceptor_t::packet_attribs_t &attribs, packet_handle_t packet) override;
  // Ends the session whose SYN the queue limit pushed out, so that sessions never outnumber the packets
  // the queue holds.
  void packet_pushed_out(const packet_handle_t &packet) override;

  // Whether a SYN opens a connection the entry must ask about (false: drop it).
  bool is_new_connection(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp, std::uint32_t mark,
                         const fw::net::connection_key_t &key) const;
  // Whether a SYN,ACK answers one of the daemon's own server connections with the right security option.
  bool is_expected_answer(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp, std::uint32_t mark,
                          const fw::net::connection_key_t &key) const;
  void request_verdict(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp,
                       const interceptor_t::packet_attribs_t &attribs, const fw::net::connection_key_t &key,
                       const packet_handle_t &packet);
  void verdict(std::shared_ptr<const verdict_request_t> request, std::exception_ptr error,
               session_factory_t::verdict_t verdict, const session_factory_t::artifacts_t &artifacts);
  mv::RuleSet check_rules(const fw::net::connection_key_t &key, const session_factory_t::artifacts_t &artifacts) const;
  void connected(std::shared_ptr<check_request_t> request, const boost::system::error_code &error,
                 fw::util::scoped_fd_t socket);

  std::string prefix() const;

  connection_diverter_t *diverter_;
  unsigned direction_;
  std::unique_ptr<interceptor_t> interceptor_;
  bool connect_transparently_;
  bool process_ip_security_option_;
  verdict_requests_t verdict_requests_;
  // The queued SYN of every verdict request.
  std::map<packet_handle_t, std::shared_ptr<const verdict_request_t>, std::owner_less<packet_handle_t>> queued_syns_;
  std::list<connects_t::iterator> connects_;
};

} // namespace fw::service
