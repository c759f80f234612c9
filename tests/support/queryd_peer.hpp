#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "queryd_client_ipc.pb.h"
#include "tests/support/framed_peer.hpp"

namespace tests {

// The QueryD side of one connection from the daemon: its framed requests, and whatever the test wants
// back, well-formed or not.
class queryd_peer_t : public framed_peer_t {
public:
  using framed_peer_t::framed_peer_t;

  // The next request; nullopt when the stream ends, or after the timeout (which also fails the test).
  std::optional<lp::ClientMessage> receive(int timeout_seconds = 10) {
    const auto payload = receive_frame(timeout_seconds);
    lp::ClientMessage message;
    if (payload && !message.ParseFromString(*payload)) ADD_FAILURE() << "the daemon sent a request that does not parse";
    return payload ? std::optional(message) : std::nullopt;
  }
  void send(const lp::ServerMessage &message) { send_bytes(frame(message.SerializePartialAsString())); }

  static lp::ServerMessage lookup_answer(std::uint32_t serial, const std::vector<std::string> &data) {
    lp::ServerMessage m;
    m.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);
    m.set_serial(serial);
    for (const auto &d : data) m.add_data(d);
    return m;
  }
  static lp::ServerMessage check_answer(std::uint32_t serial, bool result) {
    lp::ServerMessage m;
    m.set_tag(lp::ServerMessage::CHECK_RESPONSE);
    m.set_serial(serial);
    m.set_result(result);
    return m;
  }
};

} // namespace tests
