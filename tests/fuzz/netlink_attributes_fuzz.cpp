// The netlink attribute parsers: the tree and the in-place view agree on every attribute, and what the
// tree serialises parses back the same; likewise the nfnetlink, routing and sock_diag messages.

#include <stdexcept>

#include "fw/linux/netlink/attribute_view.hpp"
#include "fw/linux/netlink/compound_attribute.hpp"
#include "fw/linux/nfnetlink/message.hpp"
#include "fw/linux/nfnetlink/message_view.hpp"
#include "fw/linux/rtnetlink/routing/message.hpp"
#include "fw/linux/sock_diag/response_message.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/fuzz/fuzz_target.hpp"

namespace {

namespace nl = fw::linux::netlink;
using tests::fuzz::bytes_t;
using tests::fuzz::declared_failure_or;

// Every attribute type the view can hold has the same presence, kind and value in both readings.
void compare(const nl::compound_attribute_t &tree, const nl::attribute_view_t &view) {
  for (std::uint16_t type = 0; type < nl::attribute_view_t::capacity; ++type) {
    FUZZ_CHECK(tree.contains(type) == view.contains(type));
    if (!tree.contains(type)) continue;
    const auto &value = tree.attributes().at(type);
    if (value.is_compound()) {
      compare(value.compound(), view.get_compound(type));
    } else {
      const auto a = tree.get_bytes(type);
      const auto b = view.get_bytes(type);
      FUZZ_CHECK(a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin()));
    }
  }
}

// Reading every attribute as each kind: the accessors raise their own errors and nothing else.
void read_all(const nl::compound_attribute_t &tree) {
  using error_t = nl::compound_attribute_t::exception_t;
  for (const auto &[type, value] : tree) {
    declared_failure_or<error_t>([&] { (void)tree.get_u32(type); });
    declared_failure_or<error_t>([&] { (void)tree.find_be32(type); });
    declared_failure_or<error_t>([&] { (void)tree.get_string(type); });
    if (value.is_compound()) read_all(value.compound());
  }
}

// Serialising is stable after one round: padding is counted into the attributes on the first (unless
// padding pushed a nested level beyond 64 KiB).
void round_trip(const nl::compound_attribute_t &tree) {
  bytes_t once;
  if (!declared_failure_or<std::length_error>([&] { once = tree.serialise(); })) return;
  FUZZ_CHECK(once.size() == tree.serialised_size());
  FUZZ_CHECK(nl::compound_attribute_t::parse(once.data(), once.size()).serialise() == once);
}

void attributes(const std::uint8_t *data, std::size_t size) {
  using error_t = nl::compound_attribute_t::exception_t;
  std::optional<nl::compound_attribute_t> tree;
  std::optional<nl::attribute_view_t> view;
  declared_failure_or<error_t>([&] { tree = nl::compound_attribute_t::parse(data, size); });
  declared_failure_or<error_t>([&] { view = nl::attribute_view_t::parse(data, size); });
  FUZZ_CHECK(tree.has_value() == view.has_value());
  if (!tree) return;
  compare(*tree, *view);
  read_all(*tree);
  round_trip(*tree);
}

void nfnetlink(const std::uint8_t *data, std::size_t size) {
  namespace nfnl = fw::linux::nfnetlink;
  std::optional<nfnl::message_t> message;
  std::optional<nfnl::message_view_t> view;
  declared_failure_or<std::runtime_error>([&] { message = nfnl::message_t::parse(data, size); });
  declared_failure_or<std::runtime_error>([&] { view = nfnl::message_view_t::parse(data, size); });
  FUZZ_CHECK(message.has_value() == view.has_value());
  if (!message) return;
  FUZZ_CHECK(message->family() == view->family() && message->version() == view->version() &&
             message->resource_id() == view->resource_id());
  compare(message->attributes(), view->attributes());
}

void routing(const std::uint8_t *data, std::size_t size) {
  namespace rt = fw::linux::rtnetlink::routing;
  declared_failure_or<std::runtime_error>([&] {
    const rt::message_t message = rt::message_t::parse(data, size);
    bytes_t bytes;
    if (declared_failure_or<std::length_error>([&] { bytes = message.serialise(); }))
      FUZZ_CHECK(rt::message_t::parse(bytes.data(), bytes.size()).serialise() == bytes);
  });
}

// A socket diagnostics answer as the process finder reads it.
void sock_diag(const std::uint8_t *data, std::size_t size) {
  namespace sd = fw::linux::sock_diag;
  declared_failure_or<std::runtime_error>([&] {
    const sd::response_message_t message = sd::response_message_t::parse(data, size);
    FUZZ_CHECK(size >= sd::response_message_t::header_size);
    (void)(message.source().port() ^ message.destination().port() ^ message.inode());
  });
}

} // namespace

FUZZ_TARGET(netlink_attributes)(const std::uint8_t *data, std::size_t size) {
  attributes(data, size);
  nfnetlink(data, size);
  routing(data, size);
  sock_diag(data, size);
  return 0;
}
