#include "fw/linux/nftables/requests.hpp"

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/policy/batch_policy.hpp"

namespace fw::linux::nftables {

namespace nl = fw::linux::netlink;

namespace {
std::size_t limit() { return policy::batch_policy_t::default_max_size(); }
} // namespace

utils::nft_msg_t new_table(std::uint8_t family, std::string_view name) {
  utils::nft_msg_t m(msg_newtable, nl::f_create, family, limit());
  m.put_string(table_attr::name, name);
  return m;
}

utils::nft_msg_t del_table(std::uint8_t family, std::string_view name) {
  utils::nft_msg_t m(msg_deltable, 0, family, limit());
  m.put_string(table_attr::name, name);
  return m;
}

utils::nft_msg_t new_chain(std::uint8_t family, std::string_view table, std::string_view name, std::uint32_t hook,
                           std::int32_t priority, std::string_view type) {
  utils::nft_msg_t m(msg_newchain, nl::f_create, family, limit());
  m.put_string(chain_attr::table, table);
  m.put_string(chain_attr::name, name);
  const std::size_t nest = m.nest_begin(chain_attr::hook);
  m.put_be32(hook_attr::number, hook);
  m.put_be32(hook_attr::priority, static_cast<std::uint32_t>(priority));
  m.nest_end(nest);
  m.put_string(chain_attr::type, type);
  return m;
}

utils::nft_msg_t del_rule(std::uint8_t family, std::string_view table, std::string_view chain, std::uint64_t handle) {
  utils::nft_msg_t m(msg_delrule, 0, family, limit());
  m.put_string(rule_attr::table, table);
  m.put_string(rule_attr::chain, chain);
  m.put_be64(rule_attr::handle, handle);
  return m;
}

utils::nft_msg_t dump_chains(std::uint8_t family) { return utils::nft_msg_t(msg_getchain, nl::f_dump, family, limit()); }

utils::nft_msg_t dump_rules(std::uint8_t family, std::optional<std::string_view> table,
                            std::optional<std::string_view> chain) {
  utils::nft_msg_t m(msg_getrule, nl::f_dump, family, limit());
  if (table) m.put_string(rule_attr::table, *table);
  if (chain) m.put_string(rule_attr::chain, *chain);
  return m;
}

utils::nft_msg_t get_chain(std::uint8_t family, std::string_view table, std::string_view chain) {
  utils::nft_msg_t m(msg_getchain, 0, family, limit());
  m.put_string(chain_attr::table, table);
  m.put_string(chain_attr::name, chain);
  return m;
}

nl::socket_t open_socket() { return nl::socket_t::open(nl::protocol_netfilter); }

std::vector<nl::socket_t::received_t> dump(nl::socket_t &socket, const utils::nft_msg_t &request) {
  socket.send_raw(request.bytes().data(), request.size());
  return socket.receive_dump();
}

nl::socket_t::received_t get(nl::socket_t &socket, const utils::nft_msg_t &request) {
  socket.send_raw(request.bytes().data(), request.size());
  return socket.receive_one();
}

} // namespace fw::linux::nftables
