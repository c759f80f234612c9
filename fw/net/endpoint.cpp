#include "fw/net/endpoint.hpp"

namespace fw::net {

std::string to_string(const endpoint_t &endpoint) {
  if (endpoint.address().is_v6())
    return "[" + endpoint.address().to_string() + "]:" + std::to_string(endpoint.port());
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

std::optional<endpoint_t> parse_endpoint(const char *address, std::uint16_t port) {
  boost::system::error_code error;
  const auto parsed = boost::asio::ip::make_address(address, error);
  if (error) return std::nullopt;
  return endpoint_t(parsed, port);
}

std::string to_string(const connection_key_t &key) {
  return to_string(key.client) + " -> " + to_string(key.server);
}

} // namespace fw::net
