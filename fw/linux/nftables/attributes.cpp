#include "fw/linux/nftables/attributes.hpp"

#include <arpa/inet.h>
#include <endian.h>

#include <cstring>
#include <stdexcept>

namespace fw::linux::nftables::attributes {

void expect_type(std::uint16_t actual, std::uint16_t expected) {
  if (actual != expected) throw std::runtime_error("table_type != atr type");
}

std::string read_string(const std::uint8_t *data, std::size_t length) {
  const auto *end = static_cast<const std::uint8_t *>(std::memchr(data, 0, length));
  const std::size_t size = end ? static_cast<std::size_t>(end - data) : length;
  const std::size_t expected = netlink::align4(netlink::attribute_header_size + size + 1);
  const std::size_t actual = netlink::align4(netlink::attribute_header_size + length);
  if (expected != actual)
    throw std::runtime_error("parse_route nla is wrong " + std::to_string(expected) + " != " + std::to_string(actual));
  return std::string(reinterpret_cast<const char *>(data), size);
}

std::uint16_t read_be16(const std::uint8_t *data, std::size_t length) {
  if (length < 2) throw netlink::compound_attribute_t::invalid_attribute_t();
  std::uint16_t v;
  std::memcpy(&v, data, 2);
  return ntohs(v);
}

std::uint32_t read_be32(const std::uint8_t *data, std::size_t length) {
  if (length < 4) throw netlink::compound_attribute_t::invalid_attribute_t();
  std::uint32_t v;
  std::memcpy(&v, data, 4);
  return ntohl(v);
}

std::uint64_t read_be64(const std::uint8_t *data, std::size_t length) {
  if (length < 8) throw netlink::compound_attribute_t::invalid_attribute_t();
  std::uint64_t v;
  std::memcpy(&v, data, 8);
  return be64toh(v);
}

} // namespace fw::linux::nftables::attributes
