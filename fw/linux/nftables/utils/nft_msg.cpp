#include "fw/linux/nftables/utils/nft_msg.hpp"

#include <arpa/inet.h>
#include <endian.h>

#include <cstring>
#include <stdexcept>

#include "fw/linux/netlink/constants.hpp"
#include "fw/linux/netlink/header.hpp"
#include "fw/linux/nftables/constants.hpp"

namespace fw::linux::nftables::utils {

namespace nl = fw::linux::netlink;

nft_msg_t::nft_msg_t(std::uint16_t type, std::uint16_t flags, std::uint8_t family, std::uint16_t resource_id,
                     std::size_t limit)
    : limit_(limit) {
  buffer_.reserve(limit < 256 ? limit : 256);
  std::uint8_t *p = grow(nl::header_size + nfgen_header_size);
  nl::header_t header;
  header.type = type;
  header.flags = static_cast<std::uint16_t>(flags | nl::f_request | nl::f_ack);
  header.write(p);
  p[16] = family;
  p[17] = 0; // version
  const std::uint16_t id = htons(resource_id);
  std::memcpy(p + 18, &id, 2);
  update_length();
}

nft_msg_t::nft_msg_t(std::uint8_t message, std::uint16_t flags, std::uint8_t family, std::size_t limit)
    : nft_msg_t(full_type(message), flags, family, 0, limit) {}

nft_msg_t nft_msg_t::batch_frame(std::uint16_t type, std::size_t limit) {
  return nft_msg_t(type, 0, family_unspec, subsystem, limit);
}

std::uint8_t *nft_msg_t::grow(std::size_t size) {
  if (size > limit_ || buffer_.size() > limit_ - size) throw std::runtime_error("can't alloc!");
  const std::size_t offset = buffer_.size();
  buffer_.resize(offset + size, 0);
  return buffer_.data() + offset;
}

void nft_msg_t::update_length() noexcept {
  const auto length = static_cast<std::uint32_t>(buffer_.size());
  std::memcpy(buffer_.data(), &length, 4);
}

void nft_msg_t::put(std::uint16_t type, const void *data, std::size_t size) {
  if (size > 0xFFFF - nl::attribute_header_size) throw std::runtime_error("can't alloc!");
  std::uint8_t *p = grow(nl::align4(nl::attribute_header_size + size));
  const auto length = static_cast<std::uint16_t>(nl::attribute_header_size + size);
  std::memcpy(p, &length, 2);
  std::memcpy(p + 2, &type, 2);
  if (size) std::memcpy(p + nl::attribute_header_size, data, size);
  update_length();
}

void nft_msg_t::put_string(std::uint16_t type, std::string_view value) {
  std::vector<char> text(value.begin(), value.end());
  text.push_back('\0');
  put(type, text.data(), text.size());
}

void nft_msg_t::put_u32(std::uint16_t type, std::uint32_t value) { put(type, &value, 4); }

void nft_msg_t::put_be16(std::uint16_t type, std::uint16_t value) {
  const std::uint16_t v = htons(value);
  put(type, &v, 2);
}

void nft_msg_t::put_be32(std::uint16_t type, std::uint32_t value) {
  const std::uint32_t v = htonl(value);
  put(type, &v, 4);
}

void nft_msg_t::put_be64(std::uint16_t type, std::uint64_t value) {
  const std::uint64_t v = htobe64(value);
  put(type, &v, 8);
}

std::size_t nft_msg_t::nest_begin(std::uint16_t type) {
  const std::size_t offset = buffer_.size();
  std::uint8_t *p = grow(nl::attribute_header_size);
  const auto flagged = static_cast<std::uint16_t>(type | nl::attribute_nested);
  std::memcpy(p + 2, &flagged, 2);
  update_length();
  return offset;
}

void nft_msg_t::nest_end(std::size_t offset) {
  const std::size_t length = buffer_.size() - offset;
  if (length > 0xFFFF) throw std::runtime_error("can't alloc!");
  const auto l = static_cast<std::uint16_t>(length);
  std::memcpy(buffer_.data() + offset, &l, 2);
}

std::uint16_t nft_msg_t::type() const noexcept { return nl::header_t::read(buffer_.data()).type; }
std::uint16_t nft_msg_t::flags() const noexcept { return nl::header_t::read(buffer_.data()).flags; }
std::uint32_t nft_msg_t::sequence() const noexcept { return nl::header_t::read(buffer_.data()).sequence; }

void nft_msg_t::set_sequence(std::uint32_t sequence) noexcept { std::memcpy(buffer_.data() + 8, &sequence, 4); }

} // namespace fw::linux::nftables::utils
