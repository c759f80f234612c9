// TEMPORARY stand-in
#pragma once

#include "fw/net/endpoint.hpp"
#include "fw/util/scoped_fd.hpp"
#include "fw/util/service.hpp"
#include "rules.pb.h"

namespace fw::service {

// Stand-in carrying only the receiver interface of established server connections.
class connection_diverter_t : public fw::util::service_t {
public:
  class delegate_t {
  public:
    virtual ~delegate_t() = default;
    // Whether a connected server socket for this key is already waiting for its client.
    virtual bool has_server_socket(const fw::net::endpoint_t &client, const fw::net::endpoint_t &server) const = 0;
    // Takes over a connected server socket with the rule set for its connection.
    virtual void add_server_socket(const fw::net::endpoint_t &client, const fw::net::endpoint_t &server,
                                   const mv::RuleSet &rules, fw::util::scoped_fd_t socket) = 0;
  };
};

} // namespace fw::service
