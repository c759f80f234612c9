#pragma once

#include <cstdint>
#include <string>

#include <google/protobuf/unknown_field_set.h>

#include "fw/util/protobuf_parse_error.hpp"
#include "mv/util/error_code.hpp"
#include "mv/util/exceptions.hpp"

// Messages of the framed links whose required enum field "tag" tells what a message is.
namespace fw::util {

// The failure for a tag value the schema does not know: "<full type name>: unknown message tag: <value>".
template <class Message> [[noreturn]] void throw_unknown_tag(long long tag) {
  throw mv::cf_proto_exception_t(mv::EC_PROTOCOL_VIOLATION,
                                 Message::descriptor()->full_name() + ": unknown message tag: " + std::to_string(tag));
}

// Parses one frame. A tag value the schema does not know lands among the unknown fields and leaves the
// required tag unset; that is an unknown tag, not a malformed message.
template <class Message> void parse_tagged(const std::uint8_t *data, std::uint32_t size, Message &message) {
  if (!message.ParsePartialFromArray(data, static_cast<int>(size)))
    throw protobuf_parse_error_t(Message::descriptor()->full_name());
  if (message.IsInitialized()) return;
  if (!message.has_tag()) {
    const auto &unknown = message.GetReflection()->GetUnknownFields(message);
    for (int i = unknown.field_count() - 1; i >= 0; --i) {
      const auto &field = unknown.field(i);
      if (field.number() == Message::kTagFieldNumber && field.type() == google::protobuf::UnknownField::TYPE_VARINT)
        throw_unknown_tag<Message>(static_cast<long long>(static_cast<std::int32_t>(field.varint())));
    }
  }
  throw protobuf_parse_error_t(Message::descriptor()->full_name());
}

} // namespace fw::util
