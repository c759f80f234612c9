#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "fw/linux/netlink/async/link.hpp"
#include "fw/linux/nftables/chain.hpp"
#include "fw/linux/nftables/policy/batch_policy.hpp"
#include "fw/linux/nftables/rule.hpp"
#include "fw/service/nftables_rules.hpp"

namespace fw::service {

// Keeps the fix-local-path rule (accept locally delivered packets on the loopback interface) at the
// head of other programs' base chains. It listens to the kernel's nftables notifications; when a rule
// lands in a foreign ip or inet chain ahead of the fix rule, it deletes its fix rule from that chain and
// inserts it again at the head. It also owns the rule and chain decoders and the mark tracker.
class nft_chain_checker_t : public linux::netlink::async::link_t::delegate_t {
public:
  // Listens from construction when nftables is usable (the probe succeeded); idle otherwise. A system
  // error when the notification socket cannot be opened or bound.
  nft_chain_checker_t(boost::asio::io_context &io, bool usable);
  ~nft_chain_checker_t();
  nft_chain_checker_t(const nft_chain_checker_t &) = delete;
  nft_chain_checker_t &operator=(const nft_chain_checker_t &) = delete;

  // The installer's parameters (the local delivery mark is used). Without parameters (nothing is
  // installed) notifications are ignored, so that no fix rule is left behind that nobody removes.
  void set_parameters(const nftables_params_t &params);
  void clear_parameters() noexcept;
  bool listening() const noexcept { return link_ != nullptr; }

  static linux::nftables::rule_t decode_rule(const std::uint8_t *payload, std::size_t length);
  static linux::nftables::chain_t decode_chain(const std::uint8_t *payload, std::size_t length);
  // The mark bits the rule's expressions use; raises when the rule cannot be followed.
  static std::uint32_t used_marks(const linux::nftables::rule_t &rule);
  // Adds the fix-local-path rule for the chain if it qualifies: a base chain of another table on hook
  // prerouting, input, output or postrouting. Returns whether a rule was added. With ipv6, a chain of
  // family inet gets a second rule for IPv6 packets beside the IPv4 one.
  static bool add_fix_rule(linux::nftables::policy::batch_policy_t &batch, const linux::nftables::chain_t &chain,
                           std::uint8_t family, std::uint32_t local_delivery, bool ipv6 = false);

  void on_multipart_begin() override {}
  void on_multipart_end() override {}
  // Handles NEWRULE notifications of the ip and inet families, and of ip6 when IPv6 is handled. A notification that cannot be handled
  // (a rule that does not decode, a chain gone before it could be read) is logged and dropped: another
  // program's rule set must not end the daemon.
  void on_message(std::uint16_t type, const std::uint8_t *payload, std::size_t length) override;
  // Raises a system error "chain check netlink" with the link's error.
  void on_error(const boost::system::error_code &error) override;

private:
  void check_chain(std::uint16_t type, const std::uint8_t *payload, std::size_t length);

  std::unique_ptr<linux::netlink::async::link_t> link_;
  std::optional<nftables_params_t> params_;
};

} // namespace fw::service
