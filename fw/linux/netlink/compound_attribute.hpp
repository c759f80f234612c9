#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fw/linux/netlink/constants.hpp"

namespace fw::linux::netlink {

// A level of netlink attributes (nlattr) as an ordered tree: type -> bytes or nested level. Keys are
// the type without its two flag bits; each type holds at most one value (a later one replaces an
// earlier one when parsing). Serialising writes the types in ascending order.
class compound_attribute_t {
public:
  using bytes_t = std::vector<std::uint8_t>;

  class exception_t : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
  };
  // A required attribute is absent.
  class no_such_attribute_t : public exception_t {
  public:
    explicit no_such_attribute_t(std::uint16_t type);
    std::uint16_t type() const noexcept { return type_; }

  private:
    std::uint16_t type_;
  };
  // The attribute holds bytes where a nested level is asked for or the reverse, or it is too short for
  // the value read from it.
  class invalid_attribute_t : public exception_t {
  public:
    invalid_attribute_t();
  };
  // A malformed attribute header.
  class parse_error_t : public exception_t {
  public:
    explicit parse_error_t(const std::string &detail);
  };

  // One attribute value: bytes (the payload without header or padding) or a nested level.
  class value_t {
  public:
    explicit value_t(bytes_t bytes);
    explicit value_t(compound_attribute_t compound);
    value_t(const value_t &other);
    value_t(value_t &&other) noexcept;
    value_t &operator=(const value_t &other);
    value_t &operator=(value_t &&other) noexcept;
    ~value_t();

    bool is_compound() const noexcept { return std::holds_alternative<nested_t>(value_); }
    // Raise invalid_attribute_t when the value is of the other kind.
    const bytes_t &bytes() const;
    bytes_t &bytes();
    const compound_attribute_t &compound() const;
    compound_attribute_t &compound();

    bool operator==(const value_t &other) const;

  private:
    using nested_t = std::unique_ptr<compound_attribute_t>;
    std::variant<bytes_t, nested_t> value_;
  };

  using map_t = std::map<std::uint16_t, value_t>;

  compound_attribute_t() = default;

  // Walks one level of attributes and calls visit(type with flags, payload, payload length) for each,
  // raising parse_error_t at a malformed header. A last attribute without its padding is accepted.
  template <class Visit> static void walk(const void *data, std::size_t length, Visit &&visit);

  // Parses a level; nested attributes (flag 0x8000) become nested levels, recursively. Nesting deeper
  // than max_attribute_nesting raises parse_error_t.
  static compound_attribute_t parse(const void *data, std::size_t length);

  // The encoding of the level: each bytes attribute padded to 4 bytes (the padding counted in its
  // length), each nested level with the nested flag.
  bytes_t serialise() const;
  void serialise_to(bytes_t &out) const;
  std::size_t serialised_size() const noexcept;

  bool contains(std::uint16_t type) const { return map_.count(key(type)) != 0; }
  bool empty() const noexcept { return map_.empty(); }
  std::size_t size() const noexcept { return map_.size(); }
  const map_t &attributes() const noexcept { return map_; }
  map_t::const_iterator begin() const noexcept { return map_.begin(); }
  map_t::const_iterator end() const noexcept { return map_.end(); }
  void erase(std::uint16_t type) { map_.erase(key(type)); }

  // Readers. get_* raise no_such_attribute_t when absent; all raise invalid_attribute_t for a value
  // of the other kind or one too short for the integer read.
  std::span<const std::uint8_t> get_bytes(std::uint16_t type) const;
  std::optional<std::span<const std::uint8_t>> find_bytes(std::uint16_t type) const;
  const compound_attribute_t &get_compound(std::uint16_t type) const;
  compound_attribute_t &get_compound(std::uint16_t type);
  const compound_attribute_t *find_compound(std::uint16_t type) const;
  compound_attribute_t *find_compound(std::uint16_t type);
  // The first four bytes in host order as stored, or converted from network order.
  std::uint32_t get_u32(std::uint16_t type) const;
  std::uint32_t get_be32(std::uint16_t type) const;
  std::optional<std::uint32_t> find_u32(std::uint16_t type) const;
  std::optional<std::uint32_t> find_be32(std::uint16_t type) const;
  // The bytes up to the first NUL (or all of them).
  std::string get_string(std::uint16_t type) const;

  // Writers: insert or replace.
  // A zero-filled attribute of the given size; the view stays valid until the attribute is replaced.
  std::span<std::uint8_t> add_bytes(std::uint16_t type, std::size_t size);
  // A 32-bit attribute stored as given (host order), or converted to network order.
  void add_u32(std::uint16_t type, std::uint32_t value);
  void add_be32(std::uint16_t type, std::uint32_t value);
  // A NUL-terminated string.
  void add_string(std::uint16_t type, std::string_view value);
  // An empty nested level, returned for filling (valid until the attribute is replaced).
  compound_attribute_t &add_compound(std::uint16_t type);
  void set_bytes(std::uint16_t type, std::span<const std::uint8_t> value);
  void set_bytes(std::uint16_t type, bytes_t value);
  void set_compound(std::uint16_t type, compound_attribute_t value);

  bool operator==(const compound_attribute_t &other) const { return map_ == other.map_; }

private:
  static std::uint16_t key(std::uint16_t type) noexcept { return type & attribute_type_mask; }
  static compound_attribute_t parse_level(const void *data, std::size_t length, unsigned depth);

  map_t map_;
};

template <class Visit> void compound_attribute_t::walk(const void *data, std::size_t length, Visit &&visit) {
  auto p = static_cast<const std::uint8_t *>(data);
  std::size_t remaining = length;
  while (remaining >= attribute_header_size) {
    std::uint16_t attr_length, attr_type; // host order
    std::memcpy(&attr_length, p, 2);
    std::memcpy(&attr_type, p + 2, 2);
    if (attr_length < attribute_header_size || attr_length > remaining)
      throw parse_error_t("Invalid header length: " + std::to_string(attr_length));
    visit(attr_type, p + attribute_header_size, std::size_t{attr_length} - attribute_header_size);
    const std::size_t step = align4(attr_length);
    if (step > remaining) break;
    p += step;
    remaining -= step;
  }
}

} // namespace fw::linux::netlink
