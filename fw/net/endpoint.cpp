#include "fw/net/endpoint.hpp"

namespace fw::net {

std::string to_string(const endpoint_t &endpoint) {
  if (endpoint.address().is_v6())
    return "[" + endpoint.address().to_string() + "]:" + std::to_string(endpoint.port());
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

std::string to_string(const connection_key_t &key) {
  return to_string(key.client) + " -> " + to_string(key.server);
}

} // namespace fw::net
