#include "fw/linux/netlink/compound_attribute.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace fw::linux::netlink {

namespace {

constexpr std::size_t max_attribute_length = 0xFFFF;

void put_header(compound_attribute_t::bytes_t &out, std::size_t length, std::uint16_t type) {
  if (length > max_attribute_length) throw std::length_error("netlink: attribute too long");
  const auto l = static_cast<std::uint16_t>(length);
  std::uint8_t header[attribute_header_size];
  std::memcpy(header, &l, 2);
  std::memcpy(header + 2, &type, 2);
  out.insert(out.end(), header, header + attribute_header_size);
}

} // namespace

compound_attribute_t::no_such_attribute_t::no_such_attribute_t(std::uint16_t type)
    : exception_t("netlink: " + std::to_string(type) + ": No such attribute"), type_(type) {}

compound_attribute_t::invalid_attribute_t::invalid_attribute_t() : exception_t("netlink: Invalid attribute type") {}

compound_attribute_t::parse_error_t::parse_error_t(const std::string &detail)
    : exception_t("netlink: cannot parse attribute: " + detail) {}

// value_t

compound_attribute_t::value_t::value_t(bytes_t bytes) : value_(std::move(bytes)) {}
compound_attribute_t::value_t::value_t(compound_attribute_t compound)
    : value_(std::make_unique<compound_attribute_t>(std::move(compound))) {}
compound_attribute_t::value_t::value_t(const value_t &other) {
  if (other.is_compound())
    value_ = std::make_unique<compound_attribute_t>(other.compound());
  else
    value_ = other.bytes();
}
compound_attribute_t::value_t::value_t(value_t &&other) noexcept = default;
compound_attribute_t::value_t &compound_attribute_t::value_t::operator=(const value_t &other) {
  if (this != &other) *this = value_t(other);
  return *this;
}
compound_attribute_t::value_t &compound_attribute_t::value_t::operator=(value_t &&other) noexcept = default;
compound_attribute_t::value_t::~value_t() = default;

const compound_attribute_t::bytes_t &compound_attribute_t::value_t::bytes() const {
  if (auto b = std::get_if<bytes_t>(&value_)) return *b;
  throw invalid_attribute_t();
}
compound_attribute_t::bytes_t &compound_attribute_t::value_t::bytes() {
  if (auto b = std::get_if<bytes_t>(&value_)) return *b;
  throw invalid_attribute_t();
}
const compound_attribute_t &compound_attribute_t::value_t::compound() const {
  if (auto c = std::get_if<nested_t>(&value_)) return **c;
  throw invalid_attribute_t();
}
compound_attribute_t &compound_attribute_t::value_t::compound() {
  if (auto c = std::get_if<nested_t>(&value_)) return **c;
  throw invalid_attribute_t();
}
bool compound_attribute_t::value_t::operator==(const value_t &other) const {
  if (is_compound() != other.is_compound()) return false;
  return is_compound() ? compound() == other.compound() : bytes() == other.bytes();
}

// Parsing and serialising

compound_attribute_t compound_attribute_t::parse(const void *data, std::size_t length) {
  return parse_level(data, length, 0);
}

compound_attribute_t compound_attribute_t::parse_level(const void *data, std::size_t length, unsigned depth) {
  compound_attribute_t tree;
  walk(data, length, [&](std::uint16_t type, const std::uint8_t *payload, std::size_t size) {
    if (type & attribute_nested) {
      if (depth == max_attribute_nesting) throw parse_error_t("Nesting too deep");
      tree.map_.insert_or_assign(key(type), value_t(parse_level(payload, size, depth + 1)));
    } else {
      tree.map_.insert_or_assign(key(type), value_t(bytes_t(payload, payload + size)));
    }
  });
  return tree;
}

std::size_t compound_attribute_t::serialised_size() const noexcept {
  std::size_t size = 0;
  for (const auto &[type, value] : map_)
    size += attribute_header_size +
            (value.is_compound() ? value.compound().serialised_size() : align4(value.bytes().size()));
  return size;
}

compound_attribute_t::bytes_t compound_attribute_t::serialise() const {
  bytes_t out;
  out.reserve(serialised_size());
  serialise_to(out);
  return out;
}

void compound_attribute_t::serialise_to(bytes_t &out) const {
  for (const auto &[type, value] : map_) {
    if (value.is_compound()) {
      const std::size_t start = out.size();
      put_header(out, attribute_header_size, type | attribute_nested);
      value.compound().serialise_to(out);
      const std::size_t length = out.size() - start;
      if (length > max_attribute_length) throw std::length_error("netlink: attribute too long");
      const auto l = static_cast<std::uint16_t>(length);
      std::memcpy(out.data() + start, &l, 2);
    } else {
      const bytes_t &payload = value.bytes();
      const std::size_t padded = align4(payload.size());
      put_header(out, attribute_header_size + padded, type);
      out.insert(out.end(), payload.begin(), payload.end());
      out.insert(out.end(), padded - payload.size(), std::uint8_t{0});
    }
  }
}

// Readers

std::span<const std::uint8_t> compound_attribute_t::get_bytes(std::uint16_t type) const {
  auto it = map_.find(key(type));
  if (it == map_.end()) throw no_such_attribute_t(key(type));
  return it->second.bytes();
}

std::optional<std::span<const std::uint8_t>> compound_attribute_t::find_bytes(std::uint16_t type) const {
  auto it = map_.find(key(type));
  if (it == map_.end()) return std::nullopt;
  return std::span<const std::uint8_t>(it->second.bytes());
}

const compound_attribute_t &compound_attribute_t::get_compound(std::uint16_t type) const {
  auto it = map_.find(key(type));
  if (it == map_.end()) throw no_such_attribute_t(key(type));
  return it->second.compound();
}

compound_attribute_t &compound_attribute_t::get_compound(std::uint16_t type) {
  auto it = map_.find(key(type));
  if (it == map_.end()) throw no_such_attribute_t(key(type));
  return it->second.compound();
}

const compound_attribute_t *compound_attribute_t::find_compound(std::uint16_t type) const {
  auto it = map_.find(key(type));
  return it == map_.end() ? nullptr : &it->second.compound();
}

compound_attribute_t *compound_attribute_t::find_compound(std::uint16_t type) {
  auto it = map_.find(key(type));
  return it == map_.end() ? nullptr : &it->second.compound();
}

namespace {
std::uint32_t read_u32(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) throw compound_attribute_t::invalid_attribute_t();
  std::uint32_t value;
  std::memcpy(&value, bytes.data(), 4);
  return value;
}
} // namespace

std::uint32_t compound_attribute_t::get_u32(std::uint16_t type) const { return read_u32(get_bytes(type)); }
std::uint32_t compound_attribute_t::get_be32(std::uint16_t type) const { return ntohl(read_u32(get_bytes(type))); }

std::optional<std::uint32_t> compound_attribute_t::find_u32(std::uint16_t type) const {
  auto bytes = find_bytes(type);
  if (!bytes) return std::nullopt;
  return read_u32(*bytes);
}

std::optional<std::uint32_t> compound_attribute_t::find_be32(std::uint16_t type) const {
  auto value = find_u32(type);
  if (!value) return std::nullopt;
  return ntohl(*value);
}

std::string compound_attribute_t::get_string(std::uint16_t type) const {
  auto bytes = get_bytes(type);
  auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
  return std::string(bytes.begin(), end);
}

// Writers

std::span<std::uint8_t> compound_attribute_t::add_bytes(std::uint16_t type, std::size_t size) {
  auto [it, inserted] = map_.insert_or_assign(key(type), value_t(bytes_t(size, 0)));
  return it->second.bytes();
}

void compound_attribute_t::add_u32(std::uint16_t type, std::uint32_t value) {
  std::memcpy(add_bytes(type, 4).data(), &value, 4);
}

void compound_attribute_t::add_be32(std::uint16_t type, std::uint32_t value) { add_u32(type, htonl(value)); }

void compound_attribute_t::add_string(std::uint16_t type, std::string_view value) {
  auto bytes = add_bytes(type, value.size() + 1);
  std::memcpy(bytes.data(), value.data(), value.size());
}

compound_attribute_t &compound_attribute_t::add_compound(std::uint16_t type) {
  auto [it, inserted] = map_.insert_or_assign(key(type), value_t(compound_attribute_t()));
  return it->second.compound();
}

void compound_attribute_t::set_bytes(std::uint16_t type, std::span<const std::uint8_t> value) {
  map_.insert_or_assign(key(type), value_t(bytes_t(value.begin(), value.end())));
}

void compound_attribute_t::set_bytes(std::uint16_t type, bytes_t value) {
  map_.insert_or_assign(key(type), value_t(std::move(value)));
}

void compound_attribute_t::set_compound(std::uint16_t type, compound_attribute_t value) {
  map_.insert_or_assign(key(type), value_t(std::move(value)));
}

} // namespace fw::linux::netlink
