#include "fw/service/nft_chain_checker.hpp"

#include <linux/netlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <boost/system/system_error.hpp>

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/mark_tracker.hpp"
#include "fw/linux/nftables/matches.hpp"
#include "fw/linux/nftables/requests.hpp"
#include "mv/log/log.hpp"
#include "mv/util/exceptions.hpp"

namespace fw::service {

namespace nft = fw::linux::nftables;
namespace nl = fw::linux::netlink;

namespace {
constexpr std::uint32_t nftables_group_mask = 1u << (7 - 1); // NFNLGRP_NFTABLES
} // namespace

nft_chain_checker_t::nft_chain_checker_t(boost::asio::io_context &io, bool usable) {
  if (!usable) return;
  nl::socket_t socket = nft::open_socket();
  // Another program loading a large rule set floods the group; losing notifications is better than
  // losing the link (ENOBUFS would end it).
  const int on = 1;
  if (::setsockopt(socket.native_handle(), nl::sol_netlink, nl::opt_no_enobufs, &on, sizeof on) != 0)
    MV_LOG(Warning, std::string("chain checker: Cannot set option NETLINK_NO_ENOBUFS: ") + std::strerror(errno));
  link_ = std::make_unique<nl::async::link_t>(io, socket.release());
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_pid = 0;
  address.nl_groups = nftables_group_mask;
  link_->bind(address);
  link_->start(*this);
  MV_LOG(Debug, "chain checker: started");
}

nft_chain_checker_t::~nft_chain_checker_t() {
  if (link_) link_->stop();
}

void nft_chain_checker_t::set_parameters(const nftables_params_t &params) { params_ = params; }
void nft_chain_checker_t::clear_parameters() noexcept { params_.reset(); }

nft::rule_t nft_chain_checker_t::decode_rule(const std::uint8_t *payload, std::size_t length) {
  return nft::rule_t::decode(payload, length);
}

nft::chain_t nft_chain_checker_t::decode_chain(const std::uint8_t *payload, std::size_t length) {
  return nft::chain_t::decode(payload, length);
}

std::uint32_t nft_chain_checker_t::used_marks(const nft::rule_t &rule) {
  return nft::mark_tracker_t::used_marks(rule.expressions);
}

bool nft_chain_checker_t::add_fix_rule(nft::policy::batch_policy_t &batch, const nft::chain_t &chain,
                                       std::uint8_t family, std::uint32_t local_delivery, bool ipv6) {
  if (!chain.hook || !chain.table || !chain.name || *chain.table == nft_own_name) return false;
  const std::uint32_t hook = chain.hook->number;
  const bool incoming = hook == nft::hook_prerouting || hook == nft::hook_input;
  const bool outgoing = hook == nft::hook_output || hook == nft::hook_postrouting;
  if (!incoming && !outgoing) return false;
  const auto add = [&](void (*only)(nft::rule_builder_t &)) {
    nft::rule_builder_t rule(family, *chain.table, *chain.name, nft_own_name, batch.max_size());
    if (only) only(rule);
    const std::uint32_t loopback = ::if_nametoindex("lo");
    if (incoming)
      nft::matches::iif(rule, loopback);
    else
      nft::matches::oif(rule, loopback);
    nft::matches::mark(rule, local_delivery, local_delivery);
    nft::matches::accept(rule);
    batch.add(rule.finish());
  };
  if (family != nft::family_inet) {
    add(nullptr);
  } else {
    if (ipv6) add(nft::matches::ipv6_only);
    add(nft::matches::ipv4_only);
  }
  return true;
}

void nft_chain_checker_t::on_message(std::uint16_t type, const std::uint8_t *payload, std::size_t length) {
  if (type != nft::full_type(nft::msg_newrule) || length < 1) return;
  if (!params_) return;
  if (payload[0] != nft::family_inet && payload[0] != nft::family_ipv4 &&
      !(payload[0] == nft::family_ipv6 && params_->ipv6))
    return;
  try {
    check_chain(type, payload, length);
  } catch (const std::exception &e) {
    MV_LOG(Warning, "chain checker: " + mv::util::exception_message(e));
  }
}

void nft_chain_checker_t::check_chain(std::uint16_t type, const std::uint8_t *payload, std::size_t length) {
  const std::uint8_t family = payload[0];
  const nft::rule_t rule = decode_rule(payload, length);
  MV_LOG(Debug, "receive message (NFT_MSG_NEWRULE) : type=" + std::to_string(type) +
                    ", msg_type=" + std::to_string(nft::msg_newrule) + ", family=" + std::to_string(family) +
                    ", chain name = " + rule.chain.value_or("empty"));
  if (rule.table == nft_own_name || !rule.table || !rule.chain) return;
  const std::string &table = *rule.table, &chain = *rule.chain;

  // The chain in its order: a fix rule that is still first leaves nothing to do; others are removed.
  nft::policy::batch_policy_t batch;
  {
    nl::socket_t socket = nft::open_socket();
    for (const nl::socket_t::received_t &received : nft::dump(socket, nft::dump_rules(family, table, chain))) {
      if (received.type != nft::full_type(nft::msg_newrule)) continue;
      const nft::rule_t existing = decode_rule(received.payload.data(), received.payload.size());
      if (existing.comment != nft_own_name) continue;
      if (!existing.position) return;
      batch.add(nft::del_rule(family, existing.table.value_or(table), existing.chain.value_or(chain),
                              existing.handle.value()));
    }
  }
  if (!batch.empty()) {
    nl::socket_t socket = nft::open_socket();
    batch.send(socket);
  }

  nl::socket_t socket = nft::open_socket();
  const nl::socket_t::received_t answer = nft::get(socket, nft::get_chain(family, table, chain));
  if (answer.type != nft::full_type(nft::msg_newchain)) {
    MV_LOG(Notice, "need NFT_MSG_NEWCHAIN msg type");
    return;
  }
  const nft::chain_t found = decode_chain(answer.payload.data(), answer.payload.size());
  MV_LOG(Debug, "add fix local path rules to chain : " + found.name.value_or("empty"));
  if (add_fix_rule(batch, found, family, params_->local_delivery, params_->ipv6)) {
    nl::socket_t batch_socket = nft::open_socket();
    batch.send(batch_socket);
  }
}

void nft_chain_checker_t::on_error(const boost::system::error_code &error) {
  throw boost::system::system_error(error, "chain check netlink");
}

} // namespace fw::service
