#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>

#include "fw/net/endpoint.hpp"
#include "fw/service/path/connection_diverter.hpp"
#include "fw/service/path/transparent_acceptor.hpp"
#include "fw/util/scoped_fd.hpp"
#include "fw/util/service.hpp"
#include "rules.pb.h"

namespace fw::service {

// Keeps the connected server sockets until their clients arrive through the transparent acceptor,
// then passes each pair on. Sockets whose client never comes expire after five minutes; the pool is
// bounded by the connection limit.
class server_socket_pool_t : public fw::util::service_t,
                             public connection_diverter_t::delegate_t,
                             public transparent_acceptor_t::delegate_t {
public:
  // One side of a connection: its endpoint and its socket.
  struct endpoint_socket_t {
    fw::net::endpoint_t endpoint;
    fw::util::scoped_fd_t socket;
  };

  class delegate_t {
  public:
    virtual ~delegate_t() = default;
    // Takes over both sockets of a diverted connection with the rule set that applies to it.
    virtual void new_socket_pair(endpoint_socket_t server, endpoint_socket_t client, const mv::RuleSet &rules) = 0;
  };

  using clock_t = std::function<std::chrono::steady_clock::time_point()>;

  server_socket_pool_t(delegate_t &delegate, std::uint64_t limit,
                       clock_t clock = [] { return std::chrono::steady_clock::now(); });

  bool has_server_socket(const fw::net::endpoint_t &client, const fw::net::endpoint_t &server) const override;
  void add_server_socket(const fw::net::endpoint_t &client, const fw::net::endpoint_t &server,
                         const mv::RuleSet &rules, fw::util::scoped_fd_t socket) override;
  void new_client_socket(const fw::net::endpoint_t &client, const fw::net::endpoint_t &server,
                         fw::util::scoped_fd_t socket) override;

  std::size_t size() const noexcept { return by_age_.size(); }

private:
  struct entry_t;
  using by_age_t = std::list<entry_t>;
  using by_key_t = std::multimap<fw::net::connection_key_t, by_age_t::iterator>;

  struct entry_t {
    fw::net::connection_key_t key;
    mv::RuleSet rules;
    fw::util::scoped_fd_t socket;
    std::chrono::steady_clock::time_point added;
    by_key_t::iterator position;
  };

  void erase(by_age_t::iterator entry);

  delegate_t &delegate_;
  by_age_t by_age_; // oldest first
  by_key_t by_key_; // equal keys in the order they were added
  std::uint64_t limit_;
  clock_t clock_;
};

} // namespace fw::service
