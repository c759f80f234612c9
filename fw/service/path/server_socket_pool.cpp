#include "fw/service/path/server_socket_pool.hpp"

#include <string>

#include "mv/log/log.hpp"

namespace fw::service {

namespace {

const std::string prefix = "Server socket pool: ";
constexpr std::chrono::nanoseconds max_age{299'999'999'999};

} // namespace

server_socket_pool_t::server_socket_pool_t(delegate_t &delegate, std::uint64_t limit, clock_t clock)
    : delegate_(delegate), limit_(limit), clock_(std::move(clock)) {}

bool server_socket_pool_t::has_server_socket(const fw::net::endpoint_t &client,
                                             const fw::net::endpoint_t &server) const {
  return by_key_.count(fw::net::connection_key_t{client, server}) != 0;
}

void server_socket_pool_t::add_server_socket(const fw::net::endpoint_t &client, const fw::net::endpoint_t &server,
                                             const mv::RuleSet &rules, fw::util::scoped_fd_t socket) {
  const fw::net::connection_key_t key{client, server};
  MV_LOG(Debug, prefix + "new server socket " + fw::net::to_string(key));

  const auto now = clock_();
  std::size_t expired = 0;
  for (auto entry = by_age_.begin(); entry != by_age_.end() && now - entry->added > max_age; ++entry) ++expired;
  if (expired) {
    MV_LOG(Info, prefix + "erasing " + std::to_string(expired) + " expired server sockets");
    while (expired--) erase(by_age_.begin());
  }

  by_age_.push_back(entry_t{key, rules, std::move(socket), now, {}});
  by_age_.back().position = by_key_.emplace(key, std::prev(by_age_.end()));

  if (by_age_.size() >= limit_) {
    MV_LOG(Info, prefix + "exceeded the limit of " + std::to_string(limit_) +
                     " open files; pushing out the oldest server socket");
    erase(by_age_.begin());
  }
}

void server_socket_pool_t::new_client_socket(const fw::net::endpoint_t &client, const fw::net::endpoint_t &server,
                                             fw::util::scoped_fd_t socket) {
  const fw::net::connection_key_t key{client, server};
  MV_LOG(Debug, prefix + "new client socket " + fw::net::to_string(key));
  const auto found = by_key_.lower_bound(key); // the oldest of equal keys
  if (found == by_key_.end() || !(found->first == key)) {
    MV_LOG(Debug, prefix + "no server socket is open for " + fw::net::to_string(key) + "; closing client socket");
    return;
  }
  entry_t &entry = *found->second;
  endpoint_socket_t server_side{server, std::move(entry.socket)};
  mv::RuleSet rules = std::move(entry.rules);
  erase(found->second);
  delegate_.new_socket_pair(std::move(server_side), endpoint_socket_t{client, std::move(socket)}, rules);
}

void server_socket_pool_t::erase(by_age_t::iterator entry) {
  by_key_.erase(entry->position);
  by_age_.erase(entry);
}

} // namespace fw::service
