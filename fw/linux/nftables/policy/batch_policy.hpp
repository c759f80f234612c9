#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fw/linux/nftables/utils/nft_msg.hpp"

namespace fw::linux::netlink {
class socket_t;
}

namespace fw::linux::nftables::policy {

// Collects nftables messages into transaction batches: each batch is a buffer of at most max_size
// bytes that begins with BATCH_BEGIN and ends with BATCH_END. Every message (the framing included)
// takes the next sequence number. A message that does not fit the open batch closes it and opens the
// next, so a large rule set becomes several batches (and several kernel transactions).
class batch_policy_t {
public:
  static constexpr std::size_t frame_size = 20;
  static constexpr std::size_t smallest = 2 * frame_size;
  static constexpr std::size_t largest = 8192;

  // One framed batch ready to send.
  struct batch_t {
    std::vector<std::uint8_t> bytes;
    std::uint32_t first_sequence = 0; // that of BATCH_BEGIN
    std::size_t messages = 0;         // BATCH_BEGIN and BATCH_END included
  };

  // The system page size, but at most 8192 bytes.
  static std::size_t default_max_size();

  // A limit below 40 raises "batch_policy_t: max_size so small!", one above 8192 "batch_policy_t: max
  // size is too big!".
  explicit batch_policy_t(std::size_t max_size = default_max_size(), std::uint32_t first_sequence = 0);

  std::size_t max_size() const noexcept { return max_size_; }

  // Appends a message, numbered with the next sequence number. One that does not fit even an empty
  // batch raises "batch_policy_t: something is wrong".
  void add(const utils::nft_msg_t &message);

  // Whether no message besides the framing has been added since the last send or take.
  bool empty() const noexcept { return closed_.empty() && open_.messages <= 1; }

  // Every batch that holds more than BATCH_BEGIN, closed with BATCH_END; the policy starts afresh.
  std::vector<batch_t> take();

  // Sends each batch with one sendmsg and reads its acknowledgements; an error acknowledgement raises
  // the socket's system error ("NETLINK error received") and the remaining batches are not sent.
  void send(netlink::socket_t &socket);

  // Reads the acknowledgements of one sent batch: one first; if it answers BATCH_BEGIN, one for each
  // remaining message, otherwise one for each message but BATCH_BEGIN and BATCH_END (kernels that do
  // not acknowledge the framing).
  static void read_acknowledgements(netlink::socket_t &socket, const batch_t &batch);

private:
  void open_batch();
  void close_batch();
  void append(const utils::nft_msg_t &message);

  std::size_t max_size_;
  std::uint32_t next_sequence_;
  batch_t open_;
  std::vector<batch_t> closed_;
};

} // namespace fw::linux::nftables::policy
