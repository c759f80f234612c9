#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/nftables/utils/nft_msg.hpp"

namespace fw::linux::nftables {

// Builders of the nftables requests the daemon sends, and the two exchanges outside batches.

utils::nft_msg_t new_table(std::uint8_t family, std::string_view name);
utils::nft_msg_t del_table(std::uint8_t family, std::string_view name);
// A base chain: hook number and priority (both u32 in network order) and the chain type name.
utils::nft_msg_t new_chain(std::uint8_t family, std::string_view table, std::string_view name, std::uint32_t hook,
                           std::int32_t priority, std::string_view type);
utils::nft_msg_t del_rule(std::uint8_t family, std::string_view table, std::string_view chain, std::uint64_t handle);
// Dump requests (flag NLM_F_DUMP), built in their own buffer with the batch limit.
utils::nft_msg_t dump_chains(std::uint8_t family);
// Every rule of the family, or those of one table and chain.
utils::nft_msg_t dump_rules(std::uint8_t family, std::optional<std::string_view> table = std::nullopt,
                            std::optional<std::string_view> chain = std::nullopt);
// One chain, answered with one NEWCHAIN message.
utils::nft_msg_t get_chain(std::uint8_t family, std::string_view table, std::string_view chain);

// A netfilter netlink socket (protocol 12).
netlink::socket_t open_socket();

// Sends a dump request on its own (no batch framing) and reads the dump up to NLMSG_DONE.
std::vector<netlink::socket_t::received_t> dump(netlink::socket_t &socket, const utils::nft_msg_t &request);
// Sends a request on its own and returns the first message of the answer.
netlink::socket_t::received_t get(netlink::socket_t &socket, const utils::nft_msg_t &request);

} // namespace fw::linux::nftables
