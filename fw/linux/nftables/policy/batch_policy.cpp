#include "fw/linux/nftables/policy/batch_policy.hpp"

#include <unistd.h>

#include <stdexcept>

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/netlink/header.hpp"
#include "fw/linux/netlink/socket.hpp"
#include "fw/linux/nftables/constants.hpp"

namespace fw::linux::nftables::policy {

namespace nl = fw::linux::netlink;

std::size_t batch_policy_t::default_max_size() {
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page <= 0) return largest;
  return static_cast<std::size_t>(page) < largest ? static_cast<std::size_t>(page) : largest;
}

batch_policy_t::batch_policy_t(std::size_t max_size, std::uint32_t first_sequence)
    : max_size_(max_size), next_sequence_(first_sequence) {
  if (max_size < smallest) throw std::runtime_error("batch_policy_t: max_size so small!");
  if (max_size > largest) throw std::runtime_error("batch_policy_t: max size is too big!");
  open_batch();
}

void batch_policy_t::append(const utils::nft_msg_t &message) {
  utils::nft_msg_t numbered = message;
  numbered.set_sequence(next_sequence_++);
  const auto bytes = numbered.bytes();
  open_.bytes.insert(open_.bytes.end(), bytes.begin(), bytes.end());
  ++open_.messages;
}

void batch_policy_t::open_batch() {
  open_ = batch_t{};
  open_.bytes.reserve(max_size_);
  open_.first_sequence = next_sequence_;
  append(utils::nft_msg_t::batch_frame(batch_begin_type));
}

void batch_policy_t::close_batch() {
  append(utils::nft_msg_t::batch_frame(batch_end_type));
  closed_.push_back(std::move(open_));
  open_batch();
}

void batch_policy_t::add(const utils::nft_msg_t &message) {
  if (message.size() > max_size_ - smallest) throw std::runtime_error("batch_policy_t: something is wrong");
  if (open_.bytes.size() + message.size() + frame_size > max_size_) close_batch();
  append(message);
}

std::vector<batch_policy_t::batch_t> batch_policy_t::take() {
  if (open_.messages > 1) close_batch();
  std::vector<batch_t> batches = std::move(closed_);
  closed_.clear();
  open_batch();
  return batches;
}

void batch_policy_t::send(nl::socket_t &socket) {
  for (const batch_t &batch : take()) {
    socket.send_raw(batch.bytes.data(), batch.bytes.size());
    read_acknowledgements(socket, batch);
  }
}

void batch_policy_t::read_acknowledgements(nl::socket_t &socket, const batch_t &batch) {
  const nl::socket_t::received_t first = socket.receive_one();
  if (first.type != nl::msg_error || first.payload.size() < 4 + nl::header_size)
    throw std::runtime_error("NETLINK: Unexpected message");
  const nl::header_t request = nl::header_t::read(first.payload.data() + 4);
  const std::size_t remaining = request.sequence == batch.first_sequence ? batch.messages - 1 : batch.messages - 3;
  for (std::size_t i = 0; i < remaining; ++i) socket.receive_ack();
}

} // namespace fw::linux::nftables::policy
