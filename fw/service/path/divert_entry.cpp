// The divert entry of one direction: what happens to each packet its queue delivers.

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>

#include "fw/net/security_option.hpp"
#include "fw/service/path/connection_diverter.hpp"
#include "fw/service/path/connection_rejector.hpp"
#include "fw/service/divert_direction.hpp"
#include "fw/service/path/marking_retransmitter.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/service/path/packet_validator.hpp"
#include "linux_firewall_config.pb.h"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {

namespace {

using fw::net::to_string;
using verdict_t = session_factory_t::verdict_t;

constexpr std::uint8_t syn_ack = fw::net::tcp_header_t::syn | fw::net::tcp_header_t::ack;

fw::net::connection_key_t key_of(const fw::net::ip_header_t &ip, const fw::net::tcp_header_t &tcp) {
  return {fw::net::endpoint_t(ip.source(), tcp.source_port()),
          fw::net::endpoint_t(ip.destination(), tcp.destination_port())};
}

const char *flags_text(std::uint8_t flags) {
  switch (flags) {
  case syn_ack: return "SYN,ACK";
  case fw::net::tcp_header_t::syn: return "SYN";
  case fw::net::tcp_header_t::ack: return "ACK";
  default: return "";
  }
}

// IPv4 only: an IPv6 header has no options, hence no security option.
const std::uint8_t *security_option_of(const fw::net::ip_header_t &ip) {
  const auto options = ip.options();
  return fw::net::find_security_option(options.data(), options.size());
}

// Four, four and four random hexadecimal digits joined by "-".
std::string make_session_id() {
  static thread_local std::mt19937_64 engine{std::random_device{}()};
  static constexpr char digits[] = "0123456789abcdef";
  std::uint64_t bits = engine(); // twelve digits take 48 of the 64 bits
  std::string id = "%%%%-%%%%-%%%%";
  for (char &c : id) {
    if (c != '%') continue;
    c = digits[bits & 0xF];
    bits >>= 4;
  }
  return id;
}

// A packet that fails validation means the kernel rules are wrong; saying so once every five seconds
// is enough. One time stamp for the whole process; suppressed warnings do not move it.
std::chrono::steady_clock::time_point last_invalid_packet_warning{};

void warn_invalid_packet(const std::string &prefix, const std::exception &error) {
  if (!mv::log::enabled(mv::log::Warning)) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_invalid_packet_warning <= std::chrono::nanoseconds(4'999'999'999)) return;
  last_invalid_packet_warning = now;
  mv::log::log(mv::log::Warning, prefix + "invalid packet intercepted: " + mv::util::exception_message(error) +
                                     "; dropping. Iptables rules are likely misconfigured!");
}

void add_socket(mv::IPSocket &socket, const fw::net::endpoint_t &endpoint) {
  socket.set_address(endpoint.address().to_string());
  socket.set_port(endpoint.port());
}

} // namespace

// A connection waiting for its verdict.
struct connection_diverter_t::divert_entry_t::verdict_request_t {
  std::optional<verdict_requests_t::iterator> position; // none while the session is being made
  fw::net::connection_key_t key;
  header_copy_t headers;
  std::size_t ip_length = 0;
  std::size_t tcp_length = 0;
  packet_handle_t packet;
  std::string id;
};

// A connection whose server connection is being opened.
struct connection_diverter_t::divert_entry_t::check_request_t {
  std::list<connects_t::iterator>::iterator position;
  packet_handle_t packet;
  fw::net::connection_key_t key;
  const std::uint8_t *security_option = nullptr; // inside the header copy, or null
  header_copy_t headers;
  std::size_t ip_length = 0;
  std::size_t total_length = 0;
  boost::asio::ip::address server_address;
  mv::RuleSet rules;
};

connection_diverter_t::divert_entry_t::divert_entry_t(connection_diverter_t &diverter, unsigned direction,
                                                      std::unique_ptr<interceptor_t> interceptor,
                                                      bool connect_transparently, bool process_ip_security_option)
    : diverter_(&diverter), direction_(direction), interceptor_(std::move(interceptor)),
      connect_transparently_(connect_transparently), process_ip_security_option_(process_ip_security_option) {}

connection_diverter_t::divert_entry_t::~divert_entry_t() {
  for (const auto position : connects_) {
    diverter_->connector_.cancel(position->second);
    diverter_->connects_.erase(position);
  }
  connects_.clear();
  queued_syns_.clear();
  verdict_requests_.clear(); // abandons the sessions
  interceptor_.reset();      // closes the queue
  abandon();
}

void connection_diverter_t::divert_entry_t::start() { interceptor_->start(*this); }

void connection_diverter_t::divert_entry_t::configure(bool connect_transparently,
                                                      bool process_ip_security_option) noexcept {
  connect_transparently_ = connect_transparently;
  process_ip_security_option_ = process_ip_security_option;
}

std::string connection_diverter_t::divert_entry_t::prefix() const {
  return "Connection diverter: divert " + divert_log_name(direction_) + ": ";
}

void connection_diverter_t::divert_entry_t::packet_intercepted(const fw::net::ip_header_t &ip,
                                                               const fw::net::tcp_header_t &tcp,
                                                               const interceptor_t::packet_attribs_t &attribs,
                                                               packet_handle_t packet) {
  const std::uint32_t mark = attribs.mark.value_or(0);
  const fw::net::connection_key_t key = key_of(ip, tcp);
  const std::uint8_t flags = tcp.flags() & syn_ack;
  MV_LOG(Debug, prefix() + "packet intercepted: " + to_string(key.client) + " -> " + to_string(key.server) + " (" +
                    flags_text(flags) + "), mark " + std::to_string(mark));

  if (process_ip_security_option_ && flags == syn_ack) {
    // A server's answer to one of the daemon's own server connections.
    if (is_expected_answer(ip, tcp, mark, key)) return interceptor_->accept(packet);
  } else if (is_new_connection(ip, tcp, mark, key)) {
    return request_verdict(ip, tcp, attribs, key, packet);
  }
  MV_LOG(Debug, prefix() + "dropping packet " + to_string(key.client) + " -> " + to_string(key.server));
  interceptor_->drop(packet);
}

void connection_diverter_t::divert_entry_t::packet_pushed_out(const packet_handle_t &packet) {
  const auto found = queued_syns_.find(packet);
  if (found == queued_syns_.end()) return;
  const auto request = std::move(found->second);
  queued_syns_.erase(found);
  MV_LOG(Debug, prefix() + "Session " + request->id + ": the queue limit pushed out its packet; session ended");
  verdict_requests_.erase(*request->position); // ends the session and frees its key
}

bool connection_diverter_t::divert_entry_t::is_new_connection(const fw::net::ip_header_t &ip,
                                                              const fw::net::tcp_header_t &tcp, std::uint32_t mark,
                                                              const fw::net::connection_key_t &key) const {
  try {
    diverter_->validator_.validate_client_packet(ip, tcp, mark);
  } catch (const packet_validator_t::invalid_packet_t &e) {
    warn_invalid_packet(prefix(), e);
    return false;
  }
  const auto server = [&] { return to_string(key.server); };
  const auto client = [&] { return to_string(key.client); };
  if (diverter_->connects_.count(key)) {
    MV_LOG(Debug,
           prefix() + "connection to server " + server() + " for client " + client() + " is already in progress");
    return false;
  }
  if (diverter_->delegate_.has_server_socket(key.client, key.server)) {
    MV_LOG(Debug, prefix() + "already connected to server " + server() + " for client " + client());
    return false;
  }
  if (verdict_requests_.count(key)) {
    MV_LOG(Debug, prefix() + "verdict for connection to server " + server() + " for client " + client() +
                      " is already requested");
    return false;
  }
  return true;
}

bool connection_diverter_t::divert_entry_t::is_expected_answer(const fw::net::ip_header_t &ip,
                                                               const fw::net::tcp_header_t &tcp, std::uint32_t mark,
                                                               const fw::net::connection_key_t &key) const {
  try {
    diverter_->validator_.validate_server_answer(ip, tcp, mark);
  } catch (const packet_validator_t::invalid_packet_t &e) {
    warn_invalid_packet(prefix(), e);
    return false;
  }
  // The answer goes to the local end of one of the daemon's server sockets and comes from the server.
  const fw::net::connection_key_t reversed{key.server, key.client};
  const auto *connection = diverter_->connector_.find(reversed.client, reversed.server);
  if (!connection) {
    MV_LOG(Debug, prefix() + "connection " + to_string(reversed) + " is not in progress");
    return false;
  }
  if (!server_connector_t::security_option_matches(*connection, security_option_of(ip))) {
    MV_LOG(Debug, prefix() + "security option mismatch for " + to_string(reversed));
    return false;
  }
  return true;
}

void connection_diverter_t::divert_entry_t::request_verdict(const fw::net::ip_header_t &ip,
                                                            const fw::net::tcp_header_t &tcp,
                                                            const interceptor_t::packet_attribs_t &attribs,
                                                            const fw::net::connection_key_t &key,
                                                            const packet_handle_t &packet) {
  auto request = std::make_shared<verdict_request_t>();
  request->key = key;
  request->ip_length = ip.header_length();
  request->tcp_length = tcp.header_length();
  // The TCP header follows the IP header in the packet: one copy takes both.
  request->headers = header_copy_t(new std::uint8_t[request->ip_length + request->tcp_length]);
  std::memcpy(request->headers.get(), ip.data(), request->ip_length + request->tcp_length);
  request->packet = packet;
  request->id = make_session_id();

  const session_factory_t::connection_info_t info{key.client,    key.server,     divert_name(direction_),
                                                  attribs.indev, attribs.outdev, attribs.uid,
                                                  attribs.gid};
  std::unique_ptr<session_factory_t::session_t> session;
  try {
    session = diverter_->sessions_.make_session(info, request->id);
  } catch (const std::exception &) {
    // No session, no verdict: the connection is checked.
    return verdict(request, std::current_exception(), verdict_t::check, {});
  }
  const auto position = verdict_requests_.emplace(key, std::move(session)).first;
  request->position = position;
  queued_syns_.emplace(packet, request);
  position->second->set_result_handler(
      wrap([this, request](std::exception_ptr error, verdict_t result, const session_factory_t::artifacts_t &artifacts) {
        verdict(request, std::move(error), result, artifacts);
      }));
}

void connection_diverter_t::divert_entry_t::verdict(std::shared_ptr<const verdict_request_t> request,
                                                    std::exception_ptr error, verdict_t result,
                                                    const session_factory_t::artifacts_t &artifacts) {
  if (request->position) {
    queued_syns_.erase(request->packet);
    verdict_requests_.erase(*request->position); // ends the session
  }

  if (error) {
    MV_LOG(Error, prefix() + "Session " + request->id + ": cannot get verdict for intercepted connection: " +
                      mv::util::describe_exception(error) + "; falling back to CHECK");
  } else {
    switch (result) {
    case verdict_t::pass:
      return interceptor_->repeat(request->packet,
                                  diverter_->marks_.client_packets_mark() | diverter_->marks_.server_packets_mark());
    case verdict_t::drop: return interceptor_->drop(request->packet);
    case verdict_t::reject: {
      interceptor_->drop(request->packet);
      const auto ip = fw::net::ip_header_t::copied(request->headers.get(), request->ip_length);
      const fw::net::tcp_header_t tcp(request->headers.get() + request->ip_length);
      diverter_->rejector_.reject(ip, process_ip_security_option_ ? security_option_of(ip) : nullptr, tcp);
      return;
    }
    default: break; // check, and whatever else stands for it
    }
  }
  handle_check_verdict(request->headers, request->ip_length, request->tcp_length, request->packet,
                       check_rules(request->key, artifacts));
}

mv::RuleSet connection_diverter_t::divert_entry_t::check_rules(const fw::net::connection_key_t &key,
                                                               const session_factory_t::artifacts_t &artifacts) const {
  mv::RuleSet rules = diverter_->config_.rules();
  add_socket(*rules.add_variable()->mutable_src_address(), key.client);
  add_socket(*rules.add_variable()->mutable_dst_address(), key.server);
  rules.add_variable()->set_divert(divert_value(direction_));
  if (artifacts.exe_path) rules.add_variable()->set_exe_path(*artifacts.exe_path);
  if (artifacts.user) rules.add_variable()->set_user_name(*artifacts.user);
  return rules;
}

void connection_diverter_t::divert_entry_t::handle_check_verdict(header_copy_t headers, std::size_t ip_length,
                                                                 std::size_t tcp_length, const packet_handle_t &packet,
                                                                 mv::RuleSet rules) {
  const auto ip = fw::net::ip_header_t::copied(headers.get(), ip_length);
  const fw::net::tcp_header_t tcp(headers.get() + ip_length);
  auto request = std::make_shared<check_request_t>();
  request->packet = packet;
  request->key = key_of(ip, tcp);
  request->security_option = process_ip_security_option_ ? security_option_of(ip) : nullptr;
  request->ip_length = ip_length;
  request->total_length = ip_length + tcp_length;
  request->server_address = ip.destination();
  request->headers = std::move(headers);
  request->rules = std::move(rules);

  if (diverter_->connects_.count(request->key)) {
    // Another direction started the same connection while this one waited for its verdict.
    MV_LOG(Debug, prefix() + "connection to server " + to_string(request->key.server) + " for client " +
                      to_string(request->key.client) + " is already in progress");
    return interceptor_->drop(packet);
  }

  std::optional<boost::asio::ip::address> bind_address;
  if (connect_transparently_) bind_address = request->key.client.address();
  request->position = connects_.insert(connects_.end(), connects_t::iterator());
  try {
    const auto recorded = diverter_->connect(
        request->key, request->security_option, bind_address, direction_,
        [this, request](const boost::system::error_code &error, fw::util::scoped_fd_t socket) {
          connected(request, error, std::move(socket));
        });
    if (recorded) *request->position = *recorded;
  } catch (...) {
    connects_.erase(request->position);
    throw;
  }
}

void connection_diverter_t::divert_entry_t::connected(std::shared_ptr<check_request_t> request,
                                                      const boost::system::error_code &error,
                                                      fw::util::scoped_fd_t socket) {
  diverter_->connects_.erase(request->key);
  connects_.erase(request->position);
  interceptor_->drop(request->packet);

  const auto server = [&] { return to_string(request->key.server); };
  const auto client = [&] { return to_string(request->key.client); };
  if (error) {
    MV_LOG(Debug, prefix() + "cannot connect to " + server() + " for client " + client() + ": " + error.message() +
                      "; rejecting connection");
    const auto ip = fw::net::ip_header_t::copied(request->headers.get(), request->ip_length);
    const fw::net::tcp_header_t tcp(request->headers.get() + request->ip_length);
    diverter_->rejector_.reject(ip, request->security_option, tcp);
    return;
  }
  MV_LOG(Debug, prefix() + "connected to " + server() + " for client " + client());
  diverter_->retransmitter_.retransmit(request->server_address, std::move(request->headers), request->total_length);
  diverter_->delegate_.add_server_socket(request->key.client, request->key.server, request->rules, std::move(socket));
}

} // namespace fw::service
