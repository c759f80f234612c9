#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace fw::linux::nftables::utils {

// One nftables netlink message written attribute by attribute into its own buffer: the netlink header,
// the 4-byte nfnetlink header, then attributes whose length field is 4 + the unpadded payload length,
// each payload followed by zero padding to a multiple of 4. Nested attributes carry the nested flag.
// The buffer never grows beyond its limit; a write that would exceed it raises "can't alloc!".
class nft_msg_t {
public:
  static constexpr std::size_t default_limit = 8192;
  static constexpr std::size_t nfgen_header_size = 4;

  // A message of the nftables subsystem: type (10 << 8) | message, flags | NLM_F_REQUEST | NLM_F_ACK,
  // the family, version 0 and resource id 0. Sequence 0 until the batch numbers it.
  nft_msg_t(std::uint8_t message, std::uint16_t flags, std::uint8_t family, std::size_t limit = default_limit);

  // BATCH_BEGIN (0x10) or BATCH_END (0x11): 20 bytes, flags request and ack, family unspecified,
  // resource id 10 in network order.
  static nft_msg_t batch_frame(std::uint16_t type, std::size_t limit = default_limit);

  void put(std::uint16_t type, const void *data, std::size_t size);
  // With the terminating zero.
  void put_string(std::uint16_t type, std::string_view value);
  void put_u32(std::uint16_t type, std::uint32_t value); // host order
  void put_be16(std::uint16_t type, std::uint16_t value);
  void put_be32(std::uint16_t type, std::uint32_t value);
  void put_be64(std::uint16_t type, std::uint64_t value);

  // Opens a nested attribute; the returned offset closes it.
  std::size_t nest_begin(std::uint16_t type);
  void nest_end(std::size_t offset);

  std::uint16_t type() const noexcept;
  std::uint16_t flags() const noexcept;
  std::uint32_t sequence() const noexcept;
  void set_sequence(std::uint32_t sequence) noexcept;
  std::uint8_t family() const noexcept { return buffer_[16]; }

  // The whole message (its length field equals its size: every attribute is padded).
  std::span<const std::uint8_t> bytes() const noexcept { return buffer_; }
  std::size_t size() const noexcept { return buffer_.size(); }

private:
  nft_msg_t(std::uint16_t type, std::uint16_t flags, std::uint8_t family, std::uint16_t resource_id,
            std::size_t limit);
  std::uint8_t *grow(std::size_t size);
  void update_length() noexcept;

  std::size_t limit_;
  std::vector<std::uint8_t> buffer_;
};

} // namespace fw::linux::nftables::utils
